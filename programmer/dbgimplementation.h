/* SPDX-License-Identifier: MIT */
/*
 * Back-ends of the debug-print macros of the SoC vendor's libraries, with
 * their switches. Both switches are off unless something sets them, so by
 * default only RMNOTIFY_implementation and RMPRINT_implementation print.
 */
#ifndef MICOMFLASH_DBGIMPLEMENTATION_H
#define MICOMFLASH_DBGIMPLEMENTATION_H

#include <stdio.h>

#include "vendor/rmdef.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Enables console_output, and file_output to any stream but stderr. */
extern RMint32 verbose_stdout;
/* Enables file_output to stderr, RMDBGLOG_implementation and
 * RMDBGPRINT_implementation. The vendor libraries reach it too. */
extern RMint32 verbose_stderr;
/* The program's debug level; nothing here reads it. */
extern RMint32 DebugLevel;

int console_output(const char *format, ...)
    __attribute__((format(printf, 1, 2)));
int file_output(FILE *stream, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

void RMDBGLOG_implementation(RMbool active, const char *filename, RMint32 line,
                             const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void RMDBGPRINT_implementation(RMbool active, const char *filename,
                               RMint32 line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void RMPRINT_implementation(void *unused1, RMuint32 level, RMuint32 threshold,
                            void *unused4, void *unused5, const char *format,
                            ...) __attribute__((format(printf, 6, 7)));
void RMNOTIFY_implementation(void *context, RMstatus status,
                             const char *filename, RMint32 line,
                             const char *format, ...)
    __attribute__((format(printf, 5, 6)));

#ifdef __cplusplus
}
#endif

#endif
