#ifndef SVCSTOP_REPORT_FAILURE_H
#define SVCSTOP_REPORT_FAILURE_H

#include <windows.h>

/* Prints the failing step and the error number on stdout, then ends the
 * process with that number as its exit status. */
[[noreturn]] void report_failure(const char *message, DWORD error);

#endif
