/*
 * A stand-in for the few Windows API declarations svcstop uses, so that the
 * tool builds and runs on a Linux host. Written from what the tool needs of
 * the platform: the Service Control Manager calls, the status record and the
 * process calls, with Windows' numeric values. Behind it sits scm_sim.cpp.
 */
#ifndef SVCSTOP_HOST_WINDOWS_H
#define SVCSTOP_HOST_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

typedef uint32_t DWORD;
typedef int BOOL;
typedef const char *LPCSTR;
typedef struct sc_handle_sim *SC_HANDLE;

typedef struct SERVICE_STATUS {
	DWORD dwServiceType;
	DWORD dwCurrentState;
	DWORD dwControlsAccepted;
	DWORD dwWin32ExitCode;
	DWORD dwServiceSpecificExitCode;
	DWORD dwCheckPoint;
	DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

#define ERROR_BAD_ARGUMENTS 160

#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_CONTROL_STOP 0x00000001

#define SERVICE_STOPPED 1
#define SERVICE_START_PENDING 2
#define SERVICE_STOP_PENDING 3
#define SERVICE_RUNNING 4
#define SERVICE_CONTINUE_PENDING 5
#define SERVICE_PAUSE_PENDING 6
#define SERVICE_PAUSED 7

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE scm, LPCSTR name, DWORD access);
BOOL QueryServiceStatus(SC_HANDLE svc, LPSERVICE_STATUS status);
BOOL ControlService(SC_HANDLE svc, DWORD control, LPSERVICE_STATUS status);
BOOL CloseServiceHandle(SC_HANDLE handle);

DWORD GetLastError(void);
void Sleep(DWORD milliseconds);
[[noreturn]] void ExitProcess(DWORD exit_code);

#endif
