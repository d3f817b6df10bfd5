/*
 * A simulated Service Control Manager with one service, behind the stand-in
 * windows.h. The test harness drives it through the environment:
 *
 *	SCM_SIM_STATE	the service's current state, 1 to 7 (default 4, running)
 *	SCM_SIM_FAIL	CALL:NUMBER, e.g. OpenServiceA:1060: that call fails and
 *			GetLastError then gives NUMBER (any 32-bit value)
 *
 * Every call is written to stderr as one line, in the order made, with its
 * arguments and result, so that a test can compare the whole sequence.
 * Handles print as scm and svc; status records as rec1, rec2, ... by
 * address, which shows whether two calls were given the same record.
 */
#include <windows.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

struct sc_handle_sim {
	const char *name;
};

static sc_handle_sim manager = {"scm"};
static sc_handle_sim service = {"svc"};
static DWORD last_error;

/* Windows has no SIGPIPE: a write to a pipe whose reader is gone fails
 * and the process goes on. Make the host behave the same. */
static struct ignore_sigpipe {
	ignore_sigpipe() { signal(SIGPIPE, SIG_IGN); }
} ignore_sigpipe_at_start; // NOLINT(cert-err58-cpp): signal() cannot throw

/* One line per call, straight to the descriptor, so the trace survives
 * ExitProcess. */
#define trace(...) dprintf(STDERR_FILENO, __VA_ARGS__)

static const char *handle_name(SC_HANDLE h)
{
	return h == NULL ? "NULL" : h->name;
}

static const char *record_name(const void *rec)
{
	static const void *seen[8];
	static char names[8][8];

	if (rec == NULL)
		return "NULL";
	for (int i = 0; i < 8; i++) {
		if (seen[i] == NULL) {
			seen[i] = rec;
			snprintf(names[i], sizeof names[i], "rec%d", i + 1);
		}
		if (seen[i] == rec)
			return names[i];
	}
	return "rec?";
}

/* True if the test asked for this call to fail; sets the last error. */
static bool fails(const char *call)
{
	const char *setting = getenv("SCM_SIM_FAIL");
	size_t len = strlen(call);

	if (setting == NULL || strncmp(setting, call, len) != 0 ||
	    setting[len] != ':')
		return false;
	last_error = (DWORD)strtoul(setting + len + 1, NULL, 0);
	return true;
}

static DWORD current_state(void)
{
	const char *s = getenv("SCM_SIM_STATE");
	return s == NULL ? SERVICE_RUNNING : (DWORD)strtoul(s, NULL, 0);
}

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access)
{
	SC_HANDLE h = fails("OpenSCManagerA") ? NULL : &manager;
	trace("OpenSCManagerA(%s, %s, %lu) -> %s\n",
	      machine == NULL ? "NULL" : machine,
	      database == NULL ? "NULL" : database, (unsigned long)access,
	      handle_name(h));
	return h;
}

SC_HANDLE OpenServiceA(SC_HANDLE scm, LPCSTR name, DWORD access)
{
	SC_HANDLE h = fails("OpenServiceA") ? NULL : &service;
	trace("OpenServiceA(%s, \"%s\", %lu) -> %s\n", handle_name(scm),
	      name == NULL ? "(null)" : name, (unsigned long)access,
	      handle_name(h));
	return h;
}

BOOL QueryServiceStatus(SC_HANDLE svc, LPSERVICE_STATUS status)
{
	BOOL ok = !fails("QueryServiceStatus");
	if (ok) {
		memset(status, 0, sizeof *status);
		status->dwServiceType = 0x10; /* own process */
		status->dwCurrentState = current_state();
		status->dwControlsAccepted = 1; /* accepts stop */
	}
	trace("QueryServiceStatus(%s, %s) -> %d\n", handle_name(svc),
	      record_name(status), ok);
	return ok;
}

BOOL ControlService(SC_HANDLE svc, DWORD control, LPSERVICE_STATUS status)
{
	BOOL ok = !fails("ControlService");
	if (ok) /* the platform reports the service's new status */
		status->dwCurrentState = SERVICE_STOP_PENDING;
	trace("ControlService(%s, %lu, %s) -> %d\n", handle_name(svc),
	      (unsigned long)control, record_name(status), ok);
	return ok;
}

BOOL CloseServiceHandle(SC_HANDLE h)
{
	BOOL ok = !fails("CloseServiceHandle");
	trace("CloseServiceHandle(%s) -> %d\n", handle_name(h), ok);
	return ok;
}

DWORD GetLastError(void)
{
	trace("GetLastError() -> %lu\n", (unsigned long)last_error);
	return last_error;
}

void Sleep(DWORD milliseconds)
{
	trace("Sleep(%lu)\n", (unsigned long)milliseconds);
	struct timespec t = {(time_t)(milliseconds / 1000),
			     (long)(milliseconds % 1000) * 1000000L};
	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
}

/* Ends at once, as Windows does: no exit handlers, no flush of stdio.
 * A Linux exit status keeps 8 bits, so the number's low byte is used,
 * and 255 where that byte is zero but the number is not. */
void ExitProcess(DWORD exit_code)
{
	trace("ExitProcess(%lu)\n", (unsigned long)exit_code);
	int status = (int)(exit_code & 0xff);
	if (status == 0 && exit_code != 0)
		status = 255;
	_exit(status);
}
