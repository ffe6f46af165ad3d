/* SPDX-License-Identifier: MIT */
/*
 * Basic types and status codes of the SoC vendor's user-space libraries,
 * as micomflash uses them. Only what the program passes and expects back
 * is declared here; the libraries themselves come with the box.
 */
#ifndef MICOMFLASH_VENDOR_RMDEF_H
#define MICOMFLASH_VENDOR_RMDEF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t RMbool;     /* 8-bit boolean: 0 false, anything else true */
typedef int32_t RMint32;
typedef uint32_t RMuint32;
typedef uint64_t RMuint64;

/* A 32-bit status code of the platform. RM_OK (6) means success for every
 * call; the program treats every other value as a failure. */
typedef int32_t RMstatus;
#define RM_OK ((RMstatus)6)

/* A printable name of a status code (owned by the library, never freed). */
const char *RMstatusToString(RMstatus status);

/* A free-running clock in microseconds. */
RMuint64 RMGetTimeInMicroSeconds(void);

#ifdef __cplusplus
}
#endif

#endif
