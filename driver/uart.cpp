// SPDX-License-Identifier: MIT
// UART register access, the transmit primitive and the one transmit function.
#include "uart.h"
#include "ratelimit.h"

static inline uint32_t kseg1(uint32_t bus_addr)
{
	return (bus_addr & FP_KSEG1_MASK) | FP_KSEG1;
}

uint32_t uart_reg_read(uint32_t base, uint32_t off)
{
	return kp_reg_read32(kseg1(base + off));
}

void uart_reg_write(uint32_t base, uint32_t off, uint32_t value)
{
	kp_reg_write32(kseg1(base + off), value);
	kp_sync();
}

uint32_t uart_selected_base(const fp_priv_t *priv)
{
	return priv->isp_mode ? priv->uart_alt_base : priv->uart_base;
}

void uart_configure(uint32_t base)
{
	uart_reg_write(base, SOC_UART_IER, 0x00);
	uart_reg_write(base, SOC_UART_CFG2, 0xEE);
	uart_reg_write(base, SOC_UART_FCR, SOC_UART_FCR_START);
	uart_reg_write(base, SOC_UART_LCR, SOC_UART_LCR_8N1);
	uart_reg_write(base, SOC_UART_CFG, 0x01);
	uart_reg_write(base, SOC_UART_CLKDIV, SOC_UART_CLKDIV_START);
}

int uart_wait_lsr(uint32_t base, uint32_t bits)
{
	return kp_reg_poll32(kseg1(base + SOC_UART_LSR), bits, UART_POLL_LIMIT_US);
}

void UARTputchar(int c, fp_priv_t *priv)
{
	uint32_t base = uart_selected_base(priv);

	if (!uart_wait_lsr(base, SOC_UART_LSR_THRE)) {
		/* The transmitter never drained: drop the byte rather than hold
		 * the CPU with interrupts off forever. */
		if (fp_ratelimit_ok(&fp_local.tx_stuck_warning))
			kp_printk("\x01" "4fp_micom: UART %05X transmitter stuck, byte %02X dropped\n",
				  (unsigned int)base, (unsigned int)(c & 0xFF));
		return;
	}
	gbus_write_uint32(FP_GBUS, base + SOC_UART_THR, (uint32_t)(c & 0xFF));
}

void fp_transmit(fp_priv_t *priv, fp_tx_kind kind, const uint8_t *bytes, size_t len,
		 unsigned int pace_us)
{
	if (kind == FP_TX_FRAME && priv->isp_mode) {
		/* a caller waiting for an answer times out as with a silent micom */
		if (fp_ratelimit_ok(&fp_local.isp_mode_warning))
			kp_printk("\x01" "4fp_micom: ISP mode, frame %02X not sent\n",
				  (unsigned int)bytes[2]);
		return;
	}
	for (size_t i = 0; i < len; i++) {
		UARTputchar(bytes[i], priv);
		if (pace_us)
			tangox_udelay(pace_us);
	}
}
