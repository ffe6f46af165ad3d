/* SPDX-License-Identifier: MIT */
/*
 * What the pieces of the Linux glue say to each other: the board layer
 * (which UART hardware stands behind the SoC's register addresses) and the
 * start and stop of the glue's own services.
 */
#ifndef FP_LINUX_FP_GLUE_H
#define FP_LINUX_FP_GLUE_H

#include <linux/types.h>

/* Claims and prepares the board's UART hardware before the core starts. */
int fp_board_init(void);
/* Gives back what fp_board_init() claimed, after the core has stopped. */
void fp_board_exit(void);
/* The Linux interrupt number behind the SoC's interrupt line @soc_irq, or -1. */
int fp_board_irq(unsigned int soc_irq);

/* Applies a wall-clock setting still waiting for process context, then returns. */
void fp_time_flush(void);

#endif
