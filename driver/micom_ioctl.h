/* SPDX-License-Identifier: MIT */
/*
 * The ioctl commands of /dev/micom, shared by the driver and by micomflash.
 *
 * The numbers are the box's (MIPS) encoding of type 'o', numbers 1 to 27:
 * _IO = 0x20006F00 + n, _IOR(int) = 0x40046F00 + n, _IOW(int) = 0x80046F00 + n.
 * They are written out as literals because the encoding macros differ
 * between MIPS and x86; the device answers to these values on every host.
 * The status commands write one 32-bit int to the caller: 6 when the micom
 * acknowledged, 1 when it did not (or did not answer), 0 when idle.
 */
#ifndef FP_MICOM_IOCTL_H
#define FP_MICOM_IOCTL_H

#define MICOM_ISP_SYNC                  0x20006F01u
#define MICOM_ISP_GET_SYNC              0x40046F02u
#define MICOM_ISP_CHECKSUM              0x20006F03u
#define MICOM_ISP_CHECKSUM_STATUS       0x40046F04u
#define MICOM_ISP_CHECKSUM_VALUE        0x40046F05u
#define MICOM_ISP_CHIP_ERASE            0x20006F06u
#define MICOM_ISP_CHIP_ERASE_STATUS     0x40046F07u
#define MICOM_ISP_ERASE_VERIFY          0x20006F08u
#define MICOM_ISP_ERASE_VERIFY_STATUS   0x40046F09u
#define MICOM_ISP_BLOCK_PROGRAM         0x80046F0Au
#define MICOM_ISP_BLOCK_PROGRAM_STATUS  0x40046F0Bu
#define MICOM_ISP_BYTE_STATUS           0x40046F0Cu
#define MICOM_ISP_BLOCK_VERIFY          0x80046F0Du
#define MICOM_ISP_BLOCK_VERIFY_STATUS   0x40046F0Eu
#define MICOM_ISP_STD_RESET             0x20006F0Fu
#define MICOM_ISP_STD_RESET_STATUS      0x40046F10u
#define MICOM_ISP_UART_CLKDIV           0x20006F11u
#define MICOM_ISP_STD_FREQ_SET          0x20006F12u
#define MICOM_ISP_STD_CHECKSUM          0x20006F13u
#define MICOM_ISP_STD_CHECKSUM_STATUS   0x40046F14u
#define MICOM_ISP_STD_CHECKSUM_VALUE    0x40046F15u
#define MICOM_ISP_STD_CHIP_ERASE        0x20006F16u
#define MICOM_ISP_STD_CHIP_ERASE_STATUS 0x40046F17u
#define MICOM_ISP_STD_PROGRAM           0x20006F18u
#define MICOM_ISP_STD_PROGRAM_STATUS    0x40046F19u
#define MICOM_ISP_STD_FREQ_SET_STATUS   0x40046F1Au
#define MICOM_ISP_STD_REPLY             0x40046F1Bu

/* Status word values. */
#define MICOM_ISP_IDLE  0
#define MICOM_ISP_ARMED 1
#define MICOM_ISP_ACK   6

#endif
