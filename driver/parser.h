/* SPDX-License-Identifier: MIT */
/* The receive path: the UART interrupt handlers and the parser they call. */
#ifndef FP_PARSER_H
#define FP_PARSER_H

#include "ir_vfd.h"

/* The primary UART's handler (interrupt 10). */
int fp_isr(int irq, void *cookie);
/* The alternate UART's handler (interrupt 71, while /dev/micom is open). */
int fp_isr_lumeta(int irq, void *cookie);
/* Drains the UART that isp_mode selects; interrupt context, driver lock held. */
void fp_read_device(fp_priv_t *priv);

#endif
