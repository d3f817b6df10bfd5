/*
 * svcstop: stop one Windows service through the Service Control Manager.
 *
 *	svcstop NAME
 *
 * Silent on success. On failure it prints the failing call and the Windows
 * error number on stdout and exits with that number. It sends the stop
 * control and does not wait for the service to reach STOPPED.
 *
 * Build: i686-w64-mingw32-g++ -std=c++17 -static -Isrc \
 *	src/svcstop.cpp src/report_failure.cpp -ladvapi32
 */
#include <windows.h>

#include "report_failure.h"

int main(int argc, char *argv[])
{
	/* Any argument is a service name, so there is no usage text; a wrong
	 * count must still never look like a stopped service. */
	if (argc != 2)
		return ERROR_BAD_ARGUMENTS;

	/* SC_MANAGER_CREATE_SERVICE rather than the bare connect right: only
	 * an elevated caller is granted it, so an unelevated run fails here,
	 * at the first step. */
	SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CREATE_SERVICE);
	if (scm == NULL)
		report_failure("In OpenScManager", GetLastError());

	SC_HANDLE svc = OpenServiceA(scm, argv[1], SERVICE_ALL_ACCESS);
	if (svc == NULL)
		report_failure("In OpenService", GetLastError());

	/* One record serves both calls: ControlService overwrites it with
	 * the status it reports, which nothing reads afterwards. */
	SERVICE_STATUS status;
	if (!QueryServiceStatus(svc, &status))
		report_failure("In QueryServiceStatus", GetLastError());

	if (status.dwCurrentState != SERVICE_STOPPED) {
		if (!ControlService(svc, SERVICE_CONTROL_STOP, &status))
			report_failure("In ControlService", GetLastError());
		/* A fixed grace period, not a wait for STOPPED: a service
		 * may take far longer to stop, and the tool does not poll. */
		Sleep(500);
	}

	CloseServiceHandle(svc);
	CloseServiceHandle(scm);
	return 0;
}
