/* SPDX-License-Identifier: MIT */
/*
 * The front-panel driver: its one state record, its module globals and the
 * entry points of every unit.  The micom (the front panel's microcontroller)
 * is reached through two SoC UARTs: the primary one carries micom frames, the
 * alternate one (the ISP link) the flash-programming traffic while /dev/micom
 * is open.
 */
#ifndef FP_IR_VFD_H
#define FP_IR_VFD_H

#include "fp_exports.h"
#include "kernel/kernel.h"

/**
 * struct fp_priv_t - the driver state, one instance (fp_priv).
 *
 * Start-up clears it to zero.  Fields are guarded by fp_lock (the driver
 * lock) unless noted; the receive parser writes the answer fields from the
 * UART interrupt, requesters sleep on the wait queues until it has.
 * State words of the ISP answer rules hold 0 (idle), 1 (armed, or answered
 * without acknowledgement) or 6 (acknowledged).
 */
struct fp_priv_t {
	int32_t input_ready;            /* 1 once the input device is registered */
	int32_t rescue_state;           /* 0 idle, 1 armed by a reader, 2 first key seen */
	int32_t isp_mode;               /* 1 while /dev/micom is open */
	int32_t isp_sync_pending;       /* 1 while the micom's 0xAA sync answer is awaited */
	int32_t isp_checksum_state;
	int32_t isp_checksum_value;     /* checksum of the last acknowledged checksum answer */
	int32_t isp_erase_state;
	int32_t isp_erase_verify_state;
	int32_t isp_program_state;
	int32_t isp_byte_state;
	int32_t isp_verify_state;
	/* standard-frame commands: only their senders and status readers touch these */
	int32_t isp_std_reset_state;
	int32_t isp_std_freq_state;
	int32_t isp_std_checksum_state;
	int32_t isp_std_checksum_value;
	int32_t isp_std_erase_state;
	int32_t isp_std_program_state;
	int32_t isp_std_reply;
	int32_t rescue_answered;        /* 1 when the rescue choice key has arrived */
	int32_t rescue_choice;          /* 0..3 */
	kp_wait_queue_head rescue_queue;
	int32_t time_ready;             /* 1 once a time answer has been applied */
	kp_wait_queue_head time_queue;
	int32_t isp_event;              /* 1 when an ISP answer completed since the last wait */
	kp_wait_queue_head ack_queue;
	int32_t bootinfo_ready;         /* 1 once the boot information arrived; never cleared */
	kp_wait_queue_head bootinfo_queue;
	uint8_t isp_rx_buf[512];        /* answer bytes since the last arming */
	int32_t isp_rx_count;
	uint16_t last_key;              /* press code of the pending press, 0 = none */
	int32_t alarm_status;           /* wake-up status of the boot information */
	uint32_t alarm_time;            /* its wake-up time (s since 1970), 0 without status */
	uint8_t alarm_cmd[256];         /* first 9 bytes: deep standby with wake-up payload */
	int32_t alarm_pending;          /* 1 once alarm_cmd holds a wake-up time */
	int32_t power_state;            /* flips at each new press of KEY_POWER */
	uint32_t uart_base;             /* bus address of the primary UART */
	uint32_t uart_alt_base;         /* bus address of the alternate UART (ISP link) */
	int32_t rtc_year, rtc_mon, rtc_day, rtc_hour, rtc_min, rtc_sec;
	uint8_t time_flags;             /* last byte of the last clock record */
	kp_input_dev *input_dev;
	kp_proc_entry *proc_vfd, *proc_model, *proc_vfdclock, *proc_reboot,
		*proc_rescue, *proc_settime, *proc_led, *proc_deepstandby,
		*proc_enableisp, *proc_startrescue;
	uint32_t keymap[256];           /* the input device's live key-code table */
};

/* ---- module globals (ir_vfd.cpp and the units named) ---- */
extern struct fp_priv_t fp_priv;
extern kp_spinlock fp_lock;             /* the driver lock */
extern uint32_t ir_keycode[256];        /* keys.cpp: default key map */
extern kp_task *tblink;                 /* led.cpp: the blink thread, or NULL */
extern int32_t led_status;              /* led.cpp */
extern int32_t micom_major;
extern const kp_file_ops micom_fops;    /* isp_device.cpp */


/* ---- units ---- */
/* keys.cpp */
void init_keys(void);
void fp_key_event(fp_priv_t *priv, const uint8_t k[6]);
/* parser.cpp */
int fp_isr(int irq, void *cookie);
int fp_isr_lumeta(int irq, void *cookie);
void fp_read_device(fp_priv_t *priv);
/* clock.cpp */
void Gettime(fp_priv_t *priv);
void set_time(const char *text, fp_priv_t *priv, int source);
int settime_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
/* led.cpp */
void set_led(const char *text, fp_priv_t *priv);
int led_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int led_proc_read(char *page, char **start, long off, int count, int *eof, void *data);
int startrescue_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int kblink(void *data);
/* Stops the blink thread, if one runs, and waits for its end; process context, lock not held. */
void stop_blink(void);
/* power.cpp */
void micom_off(void);
int reboot_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int deepstandby_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int clock_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int vfd_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int model_proc_read(char *page, char **start, long off, int count, int *eof, void *data);
int rescue_proc_read(char *page, char **start, long off, int count, int *eof, void *data);
/* isp_device.cpp */
int enableisp_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
/* isp_transport.cpp: the ISP receive rules, fed byte by byte by the parser */
void isp_receive_byte(fp_priv_t *priv, uint8_t b);

#endif
