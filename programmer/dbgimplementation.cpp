// SPDX-License-Identifier: MIT
// Debug-print back-ends for the SoC vendor's libraries. Messages that carry a
// prefix are composed in one shared buffer and then written as plain text,
// so a '%' in a file name or in the formatted message is printed as it is.
#include "dbgimplementation.h"

#include <stdarg.h>
#include <stddef.h>
#include <string.h>

extern "C" {

RMint32 verbose_stdout = 0;
RMint32 verbose_stderr = 0;
RMint32 DebugLevel = 1;

} // extern "C"

namespace {

const char SET_ERROR[] = "\x1b" "[31;1m";  // bold red: opens an error report
[[maybe_unused]] const char SET_INFO[] = "\x1b" "[32;1m";
const char SET_STD[] = "\x1b" "[0m";       // back to the normal colour

// The one composition buffer; a longer message is cut at its end, keeping
// the last byte for the terminating zero.
char str[1024];

size_t composed_length()
{
    return strnlen(str, sizeof str);
}

// Appends formatted text to str within the room that is left.
void append_v(const char *format, va_list args)
{
    const size_t used = composed_length();
    vsnprintf(str + used, sizeof str - used, format, args);
}

void append(const char *format, ...) __attribute__((format(printf, 1, 2)));
void append(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
}

void print_timestamp(FILE *stream)
{
    // Milliseconds in 32 bits; hours are not folded into days.
    const unsigned long m =
        static_cast<RMuint32>(RMGetTimeInMicroSeconds() / 1000u);
    const unsigned long hours = m / 3600000ul;
    const unsigned long minutes = m / 60000ul - 60ul * hours;
    const unsigned long seconds = m / 1000ul - 60ul * minutes - 3600ul * hours;
    const unsigned long millis =
        m - 1000ul * seconds - 60000ul * minutes - 3600000ul * hours;
    fprintf(stream, "%02lu:%02lu:%02lu.%03lu ", hours, minutes, seconds, millis);
    fflush(stream);
}

} // namespace

extern "C" {

int console_output(const char *format, ...)
{
    if (verbose_stdout == 0)
        return 0;
    va_list args;
    va_start(args, format);
    const int count = vprintf(format, args);
    va_end(args);
    return count;
}

int file_output(FILE *stream, const char *format, ...)
{
    const bool enabled =
        stream == stderr ? verbose_stderr != 0 : verbose_stdout != 0;
    if (!enabled)
        return 0;
    va_list args;
    va_start(args, format);
    const int count = vfprintf(stream, format, args);
    va_end(args);
    return count;
}

void RMDBGLOG_implementation(RMbool active, const char *filename, RMint32 line,
                             const char *format, ...)
{
    if (!active || verbose_stderr == 0)
        return;
    str[0] = '\0';
    append("[%s:%ld] ", filename, static_cast<long>(line));
    va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
    // Standard output, although the switch is the one named after stderr.
    print_timestamp(stdout);
    fputs(str, stdout);
    fflush(stdout);
}

void RMDBGPRINT_implementation(RMbool active, const char *filename,
                               RMint32 line, const char *format, ...)
{
    (void)filename;
    (void)line;
    if (!active || verbose_stderr == 0)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

void RMPRINT_implementation(void *unused1, RMuint32 level, RMuint32 threshold,
                            void *unused4, void *unused5, const char *format,
                            ...)
{
    (void)unused1;
    (void)unused4;
    (void)unused5;
    if (level < threshold)
        return;
    str[0] = '\0';
    va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
    fputs(str, stdout);
    fflush(stdout);
}

void RMNOTIFY_implementation(void *context, RMstatus status,
                             const char *filename, RMint32 line,
                             const char *format, ...)
{
    (void)context;
    str[0] = '\0';
    if (status == RM_OK)
        append("[%s:%ld] ", filename, static_cast<long>(line));
    else
        append("%s[%s:%ld] ERROR(%s): ", SET_ERROR, filename,
               static_cast<long>(line), RMstatusToString(status));
    va_list args;
    va_start(args, format);
    append_v(format, args);
    va_end(args);
    append("%s", SET_STD);
    print_timestamp(stderr);
    fputs(str, stderr);
    fflush(stderr);
}

} // extern "C"
