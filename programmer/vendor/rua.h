/* SPDX-License-Identifier: MIT */
/* The resource access library: properties of the SoC's modules. */
#ifndef MICOMFLASH_VENDOR_RUA_H
#define MICOMFLASH_VENDOR_RUA_H

#include "rmdef.h"

#ifdef __cplusplus
extern "C" {
#endif

struct RUA;

/* Creates an instance for chip number chip and stores it through instance.
 * RM_OK on success. */
RMstatus RUACreateInstance(struct RUA **instance, RMuint32 chip);
RMstatus RUADestroyInstance(struct RUA *instance);

/* Sets a property of module module_id from the size bytes at value.
 * timeout_us 0 means no waiting. RM_OK on success. */
RMstatus RUASetProperty(struct RUA *instance, RMuint32 module_id,
                        RMuint32 property_id, void *value, RMuint32 size,
                        RMuint32 timeout_us);

/* Sends in_size bytes from in and receives out_size bytes into out.
 * RM_OK on success. */
RMstatus RUAExchangeProperty(struct RUA *instance, RMuint32 module_id,
                             RMuint32 property_id, void *in, RMuint32 in_size,
                             void *out, RMuint32 out_size);

#ifdef __cplusplus
}
#endif

#endif
