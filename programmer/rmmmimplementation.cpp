// SPDX-License-Identifier: MIT
// Memory wrappers for the SoC vendor's libraries: thin layers over the
// standard heap and the memory functions of the C library.
#include "rmmmimplementation.h"

#include <stdlib.h>
#include <string.h>

extern "C" {

void *RMMalloc(RMuint32 size)
{
    return malloc(size);
}

void *RMRealloc(void *ptr, RMuint32 size)
{
    return realloc(ptr, size);
}

void RMFree(void *ptr)
{
    free(ptr);
}

void *RMMemset(void *dest, RMuint32 fill, RMuint32 length)
{
    // Only the low 8 bits of the fill value count: 0x1FF fills with 0xFF.
    return memset(dest, static_cast<int>(fill & 0xFFu), length);
}

void *RMMemcpy(void *dest, const void *src, RMuint32 length)
{
    return memcpy(dest, src, length);
}

RMint32 RMMemcmp(const void *first, const void *second, RMuint32 length)
{
    return memcmp(first, second, length);
}

void *RMCalloc(RMuint32 count, RMuint32 size)
{
    // A product that does not fit in 32 bits would hand back a smaller block
    // than the caller asked for: refuse it instead.
    const RMuint64 bytes = static_cast<RMuint64>(count) * size;
    if (bytes > 0xFFFFFFFFu)
        return nullptr;
    void *block = RMMalloc(static_cast<RMuint32>(bytes));
    if (block != nullptr)
        RMMemset(block, 0, static_cast<RMuint32>(bytes));
    return block;
}

} // extern "C"
