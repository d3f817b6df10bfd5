/*
 * A real service for svcstop's Wine tests. The word after the exe in its
 * image path picks its behaviour:
 *
 *	prompt		accepts stop and stops at once
 *	slow		accepts stop, then stays STOP_PENDING for several seconds
 *	nostop		accepts no control at all, so a stop is refused (1052)
 *	pausable	accepts stop, pause and continue
 *
 * Each control it receives is appended, as a number, to the file named by
 * the word after the mode, so a test can tell which controls reached it.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const DWORD slow_stop_ms = 8000;

static const char *mode = "prompt";
static const char *log_path;
static SERVICE_STATUS_HANDLE status_handle;
static SERVICE_STATUS status;
static HANDLE stop_requested;

static void set_state(DWORD state)
{
	status.dwCurrentState = state;
	bool pending = state == SERVICE_STOP_PENDING;
	status.dwWaitHint = pending ? slow_stop_ms + 2000 : 0;
	status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
	SetServiceStatus(status_handle, &status);
}

static void log_control(DWORD control)
{
	if (log_path == NULL)
		return;
	FILE *f = fopen(log_path, "a");
	if (f != NULL) {
		fprintf(f, "%lu\n", (unsigned long)control);
		fclose(f);
	}
}

static DWORD WINAPI handler(DWORD control, DWORD, void *, void *)
{
	log_control(control);
	switch (control) {
	case SERVICE_CONTROL_STOP:
		set_state(SERVICE_STOP_PENDING);
		SetEvent(stop_requested);
		return NO_ERROR;
	case SERVICE_CONTROL_PAUSE:
		set_state(SERVICE_PAUSED);
		return NO_ERROR;
	case SERVICE_CONTROL_CONTINUE:
		set_state(SERVICE_RUNNING);
		return NO_ERROR;
	case SERVICE_CONTROL_INTERROGATE:
		return NO_ERROR;
	}
	return ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI service_main(DWORD, char **)
{
	status_handle = RegisterServiceCtrlHandlerExA("", handler, NULL);
	if (status_handle == NULL)
		return;
	status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
	if (strcmp(mode, "nostop") == 0)
		status.dwControlsAccepted = 0;
	else if (strcmp(mode, "pausable") == 0)
		status.dwControlsAccepted =
			SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
	else
		status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
	set_state(SERVICE_RUNNING);

	WaitForSingleObject(stop_requested, INFINITE);
	if (strcmp(mode, "slow") == 0)
		Sleep(slow_stop_ms);
	set_state(SERVICE_STOPPED);
}

// cppcheck-suppress constParameter ; main's signature is the language's
int main(int argc, char *argv[])
{
	if (argc > 1)
		mode = argv[1];
	if (argc > 2)
		log_path = argv[2];
	stop_requested = CreateEventA(NULL, TRUE, FALSE, NULL);

	char name[] = "";
	SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {NULL, NULL}};
	return StartServiceCtrlDispatcherA(table) ? 0 : (int)GetLastError();
}
