/* SPDX-License-Identifier: MIT */
/*
 * Memory wrappers that micomflash supplies to the SoC vendor's libraries.
 * RMMalloc, RMFree, RMCalloc, RMMemset and RMMemcpy are what the libraries
 * bind to; RMRealloc and RMMemcmp are for the program itself.
 */
#ifndef MICOMFLASH_RMMMIMPLEMENTATION_H
#define MICOMFLASH_RMMMIMPLEMENTATION_H

#include "vendor/rmdef.h"

#ifdef __cplusplus
extern "C" {
#endif

void *RMMalloc(RMuint32 size);
void *RMRealloc(void *ptr, RMuint32 size);
void RMFree(void *ptr);
void *RMMemset(void *dest, RMuint32 fill, RMuint32 length);
void *RMMemcpy(void *dest, const void *src, RMuint32 length);
RMint32 RMMemcmp(const void *first, const void *second, RMuint32 length);
/* count * size bytes, cleared; null when the heap has no room or when the
 * product does not fit in 32 bits. */
void *RMCalloc(RMuint32 count, RMuint32 size);

#ifdef __cplusplus
}
#endif

#endif
