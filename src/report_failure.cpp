#include <stdio.h>

#include "report_failure.h"

void report_failure(const char *message, DWORD error)
{
	/* Each line is flushed as it ends, because ExitProcess skips the C
	 * runtime's closing flush. A failed write is not reported: the exit
	 * status below still carries the error. */
	printf("%s\n", message);
	fflush(stdout);
	printf("Error number: %lu\n", (unsigned long)error);
	fflush(stdout);

	/* A zero error number would read as success to the caller. */
	ExitProcess(error != 0 ? error : 1);
}
