// SPDX-License-Identifier: MIT
// The rescue hand-shake: a reader of /proc/rescue arms it, two rescue keys
// on the remote make a choice; /proc/startrescue blinks the LEDs meanwhile.
#include "rescue.h"
#include "fp_wait.h"
#include "keys.h"
#include "led.h"

#define FP_RESCUE_WAIT1_TICKS 200
#define FP_RESCUE_WAIT2_TICKS 100
#define FP_BLINK_TICKS 50

constinit kp_task *tblink = nullptr;

/* The rescue hand-shake's key side: two rescue keys make a choice. */
void fp_rescue_key(fp_priv_t *priv, uint32_t key)
{
	int choice;

	switch (key) {
	case KEY_VOLUMEUP: choice = 1; break;
	case KEY_0:        choice = 0; break;
	case KEY_1:        choice = 2; break;
	case KEY_2:        choice = 3; break;
	default:           return;
	}
	if (priv->rescue_state == FP_RESCUE_ARMED) {
		priv->rescue_state = FP_RESCUE_FIRST_KEY;
		kp_wake_up_interruptible(&priv->rescue_queue);
	} else if (priv->rescue_state == FP_RESCUE_FIRST_KEY) {
		priv->rescue_state = FP_RESCUE_IDLE;
		priv->rescue_answered = 1;
		priv->rescue_choice = choice;
		kp_wake_up_interruptible(&priv->rescue_queue);
	}
}

int rescue_proc_read(char *page, char **start, long off, int count, int *eof, void *data)
{
	fp_priv_t *priv = (fp_priv_t *)data;
	unsigned long flags;
	int choice;

	(void)start;
	(void)count;
	*eof = 1;
	if (off > 0)
		return 0; /* one hand-shake per read(), not one per call */

	flags = kp_spin_lock_irqsave(&fp_lock);
	priv->rescue_state = FP_RESCUE_ARMED; /* also re-arms a hand-shake left half done */
	kp_spin_unlock_irqrestore(&fp_lock, flags);

	kp_printk("\x01" "6wait[1]\n");
	fp_wait_event_timeout(&priv->rescue_queue, [priv] { return priv->rescue_choice != 0; },
			      FP_RESCUE_WAIT1_TICKS);
	kp_printk("\x01" "6wait[2]\n");
	/* one word each, read once: no lock needed for the decision */
	if (priv->rescue_state == FP_RESCUE_FIRST_KEY && priv->rescue_choice == 0)
		fp_wait_event_timeout(&priv->rescue_queue,
				      [priv] { return priv->rescue_choice != 0; },
				      FP_RESCUE_WAIT2_TICKS);
	kp_printk("\x01" "6wait finished\n");

	/* The answer is taken and cleared in one locked section, so that a
	 * key cannot change it in between.  A second key that comes after
	 * the section, while the hand-shake is still armed, is an answer for
	 * the next reader: that order is the hand-shake's own. */
	flags = kp_spin_lock_irqsave(&fp_lock);
	choice = priv->rescue_answered == 1 ? priv->rescue_choice : 255;
	priv->rescue_answered = 0;
	priv->rescue_choice = 0;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return kp_snprintf(page, 64, "%d\n", choice);
}

int kblink(void *data)
{
	fp_priv_t *priv = (fp_priv_t *)data;
	int phase = 1;

	for (;;) {
		if (kp_kthread_should_stop())
			return 0;
		kp_schedule_timeout_interruptible(FP_BLINK_TICKS);
		/* also once more after being told to stop in the sleep */
		if (phase) {
			set_led("0", priv);
			phase = 0;
		} else {
			set_led("1", priv);
			phase = 1;
		}
	}
}

void stop_blink(void)
{
	if (tblink) {
		kp_kthread_stop(tblink); /* waits until the thread has ended */
		tblink = nullptr;
	}
}

int startrescue_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	kp_task *task;
	unsigned long flags;

	(void)file;
	(void)ubuf;
	if (tblink)
		return (int)count; /* one blink thread at a time: it keeps running */
	task = kp_kthread_create(kblink, data, "blink");
	if (!task)
		return (int)count;
	flags = kp_spin_lock_irqsave(&fp_lock);
	if (!tblink) {
		tblink = task;
		task = nullptr;
	}
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	if (task)
		kp_kthread_stop(task); /* another writer won the race; ours never ran */
	else
		kp_wake_up_process(tblink);
	return (int)count;
}
