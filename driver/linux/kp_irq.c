// SPDX-License-Identifier: MIT
/*
 * Interrupt requests.  The core names the SoC's interrupt lines; the board
 * layer says which Linux interrupt stands behind each.  The core's handler
 * gets its own line number and cookie back.
 */
#include <linux/interrupt.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/slab.h>

#include "platform/kp_irq.h"
#include "fp_glue.h"

struct fp_irq {
	struct list_head node;
	unsigned int soc_irq;
	int linux_irq;
	kp_irq_handler_t handler;
	void *cookie;
};

static LIST_HEAD(fp_irqs);
static DEFINE_MUTEX(fp_irq_mutex);

static irqreturn_t fp_irq_trampoline(int irq, void *dev_id)
{
	struct fp_irq *r = dev_id;

	return r->handler(r->soc_irq, r->cookie) == KP_IRQ_NONE ? IRQ_NONE :
								   IRQ_HANDLED;
}

/*
 * KP_IRQF_DISABLED asks for a handler that runs with local interrupts off;
 * on 6.1 every hard-interrupt handler does, so it maps to no flag.  The
 * line is never shared.
 */
int kp_request_irq(unsigned int irq, kp_irq_handler_t handler,
		   unsigned long flags, const char *name, void *cookie)
{
	int linux_irq = fp_board_irq(irq);
	struct fp_irq *r;
	int ret;

	if (linux_irq < 0 || !handler)
		return -EINVAL;
	if (flags & ~(unsigned long)KP_IRQF_DISABLED)
		return -EINVAL;

	r = kzalloc(sizeof(*r), GFP_KERNEL);
	if (!r)
		return -ENOMEM;
	*r = (struct fp_irq){ .soc_irq = irq, .linux_irq = linux_irq,
			      .handler = handler, .cookie = cookie };

	mutex_lock(&fp_irq_mutex);
	ret = request_irq(linux_irq, fp_irq_trampoline, 0, name, r);
	if (ret == 0)
		list_add_tail(&r->node, &fp_irqs);
	mutex_unlock(&fp_irq_mutex);
	if (ret)
		kfree(r);
	return ret;
}

void kp_free_irq(unsigned int irq, void *cookie)
{
	struct fp_irq *r, *found = NULL;

	mutex_lock(&fp_irq_mutex);
	list_for_each_entry(r, &fp_irqs, node) {
		if (r->soc_irq == irq && r->cookie == cookie) {
			found = r;
			list_del(&r->node);
			break;
		}
	}
	mutex_unlock(&fp_irq_mutex);

	if (!found) {
		pr_warn("fp_micom: freeing interrupt %u that was not requested\n",
			irq);
		return;
	}
	free_irq(found->linux_irq, found); /* waits for a running handler */
	kfree(found);
}
