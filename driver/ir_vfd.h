/* SPDX-License-Identifier: MIT */
/*
 * The front-panel driver: its one state record and its module globals.
 * Each unit declares its own functions in a header of its own.  The micom (the front panel's microcontroller)
 * is reached through two SoC UARTs: the primary one carries micom frames, the
 * alternate one (the ISP link) the flash-programming traffic while /dev/micom
 * is open.
 */
#ifndef FP_IR_VFD_H
#define FP_IR_VFD_H

#include "fp_exports.h"
#include "platform/kernel.h"
#include "ratelimit.h"

/* The ISP answer bytes that fp_priv keeps since an arming (isp_transport.cpp). */
#define ISP_RX_BUF_SIZE 512

/**
 * struct fp_priv_t - the driver state, one instance (fp_priv).
 *
 * Start-up clears it to zero.  Fields are guarded by fp_lock (the driver
 * lock) unless noted; the receive parser writes the answer fields from the
 * UART interrupt, requesters sleep on the wait queues until it has.  The
 * wait conditions read one word each without the lock (the wait re-reads
 * it after every wake-up).
 * State words of the ISP answer rules hold MICOM_ISP_IDLE (0), MICOM_ISP_ARMED
 * (1: armed, or answered without acknowledgement) or MICOM_ISP_ACK (6).
 */
struct fp_priv_t {
	int32_t input_ready;            /* 1 once the input device is registered */
	int32_t rescue_state;           /* FP_RESCUE_IDLE, _ARMED or _FIRST_KEY (rescue.h) */
	int32_t isp_mode;               /* 1 while /dev/micom is open */
	int32_t isp_sync_pending;       /* 1 while the micom's 0xAA sync answer is awaited;
					 * read without the lock by MICOM_ISP_GET_SYNC (one word) */
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
	uint8_t isp_rx_buf[ISP_RX_BUF_SIZE]; /* answer bytes since the last arming */
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

struct isp_rule;

/**
 * struct fp_key_memory - what the key decoder remembers of the events it
 * did not take, beside the pending press (keys.cpp says why).
 */
struct fp_key_memory {
	uint16_t last_press;            /* press code of the last event, any */
	uint16_t dropped_press;         /* press code of a press the gate dropped */
	int32_t dropped_known;          /* dropped_press holds one */
	unsigned long dropped_at;       /* jiffies when it was dropped */
};

/**
 * struct fp_local_t - the rest of the driver state, one instance (fp_local).
 *
 * fp_priv keeps the layout that other modules and tools know; what the
 * driver keeps beyond it is here.  Zero at load, and not cleared by the
 * start.
 */
struct fp_local_t {
	/* the power-off hook found at start, given back at stop; start and stop only */
	kp_power_off_t saved_power_off;
	/* 1 while an open of /dev/micom holds interrupt 71; open and release only */
	int32_t isp_irq_owned;
	/* the answer rule of the last ISP command sent (isp_transport.cpp); fp_lock */
	const struct isp_rule *isp_armed_rule;
	/* the key decoder's; interrupt context, fp_lock */
	struct fp_key_memory keys;
	/* warnings logged at most once a second; fp_lock */
	struct fp_ratelimit isp_mode_warning;   /* a frame not sent: /dev/micom is open */
	struct fp_ratelimit cut_warning;        /* a frame cut short */
	struct fp_ratelimit checksum_warning;   /* a frame with a bad checksum, dropped */
	struct fp_ratelimit tx_stuck_warning;   /* a byte dropped: the transmitter never drained */
	/* the driver's device and its RTC class device; start and stop only */
	kp_device *device;
	kp_rtc_device *rtc;
	/* 1 while the RTC class registers the device (rtc_device.cpp); start only */
	int32_t rtc_registering;
	/* 1 once alarm_cmd holds a wake-up time, armed (alarm_pending) or not; fp_lock */
	int32_t alarm_stored;
	/* 1 while the armed wake-up is one the RTC class set (rtc_device.cpp); fp_lock */
	int32_t alarm_by_class;
};

/* ---- module globals (ir_vfd.cpp) ---- */
extern struct fp_priv_t fp_priv;
extern struct fp_local_t fp_local;
extern kp_spinlock fp_lock;             /* the driver lock */
extern int32_t micom_major;

#endif
