/*
 * svctest: the Windows side of svcstop's Wine tests. It works the Service
 * Control Manager for the tests and runs svcstop the way a user would.
 *
 *	svctest create NAME MODE LOG	install fixture_service.exe (beside this
 *					exe) as NAME, demand start
 *	svctest start NAME		start NAME and wait until it runs
 *	svctest control NAME stop|pause	send a control, wait for its state
 *	svctest state NAME		print NAME's state (RUNNING, STOPPED, ...)
 *	svctest wait NAME STATE SECS	wait until NAME is in STATE
 *	svctest delete NAME		remove NAME (absent is not an error)
 *	svctest run pipe|file|none EXE	run EXE with the exact command line in
 *					the environment variable SVCSTOP_CMDLINE,
 *					its stdout on a pipe, on a file, or on no
 *					handle at all; print its full exit code,
 *					run time and stdout bytes (hex)
 *
 * Failures print a line on stderr and exit 2.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *const state_names[] = {
	"0",       "STOPPED",          "START_PENDING", "STOP_PENDING",
	"RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED",
};

[[noreturn]] static void fail(const char *what)
{
	fprintf(stderr, "svctest: %s: error %lu\n", what,
		(unsigned long)GetLastError());
	exit(2);
}

static SC_HANDLE open_manager(void)
{
	SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
	if (scm == NULL)
		fail("OpenSCManagerA");
	return scm;
}

static SC_HANDLE open_service(const char *name, bool missing_ok = false)
{
	SC_HANDLE svc = OpenServiceA(open_manager(), name, SERVICE_ALL_ACCESS);
	if (svc == NULL &&
	    !(missing_ok && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST))
		fail(name);
	return svc;
}

static DWORD state_of(SC_HANDLE svc)
{
	SERVICE_STATUS st;
	if (!QueryServiceStatus(svc, &st))
		fail("QueryServiceStatus");
	return st.dwCurrentState;
}

static const char *state_name(DWORD state)
{
	return state < 8 ? state_names[state] : "?";
}

static bool wait_for(SC_HANDLE svc, const char *want, DWORD ms)
{
	DWORD begun = GetTickCount();
	while (strcmp(state_name(state_of(svc)), want) != 0) {
		if (GetTickCount() - begun > ms)
			return false;
		Sleep(50);
	}
	return true;
}

static int create(const char *name, const char *mode, const char *log)
{
	char path[MAX_PATH + 200] = "";
	if (GetModuleFileNameA(NULL, path, MAX_PATH) == 0)
		fail("GetModuleFileNameA");
	const char *slash = strrchr(path, '\\');
	if (slash == NULL)
		fail("GetModuleFileNameA");
	char image[sizeof path + MAX_PATH];
	snprintf(image, sizeof image, "\"%.*s\\fixture_service.exe\" %s \"%s\"",
		 (int)(slash - path), path, mode, log);

	SC_HANDLE svc = CreateServiceA(
		open_manager(), name, name, SERVICE_ALL_ACCESS,
		SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
		SERVICE_ERROR_NORMAL, image, NULL, NULL, NULL, NULL, NULL);
	if (svc == NULL)
		fail("CreateServiceA");
	return 0;
}

static int start(const char *name)
{
	SC_HANDLE svc = open_service(name);
	if (!StartServiceA(svc, 0, NULL))
		fail("StartServiceA");
	if (!wait_for(svc, "RUNNING", 10000)) {
		fprintf(stderr, "svctest: %s did not reach RUNNING\n", name);
		return 1;
	}
	return 0;
}

static int control(const char *name, const char *what)
{
	SC_HANDLE svc = open_service(name);
	bool pause = strcmp(what, "pause") == 0;
	SERVICE_STATUS st;
	if (!ControlService(
		    svc, pause ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_STOP,
		    &st))
		fail("ControlService");
	if (pause && !wait_for(svc, "PAUSED", 10000)) {
		fprintf(stderr, "svctest: %s did not reach PAUSED\n", name);
		return 1;
	}
	return 0;
}

static int wait_state(const char *name, const char *state, const char *secs)
{
	SC_HANDLE svc = open_service(name);
	bool ok = wait_for(svc, state, (DWORD)strtoul(secs, NULL, 10) * 1000);
	puts(state_name(state_of(svc)));
	return ok ? 0 : 1;
}

static int delete_service(const char *name)
{
	SC_HANDLE svc = open_service(name, true);
	if (svc != NULL && !DeleteService(svc) &&
	    GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
		fail("DeleteService");
	return 0;
}

static int run(const char *how, const char *exe)
{
	const char *cmdline = getenv("SVCSTOP_CMDLINE");
	if (cmdline == NULL) {
		fprintf(stderr, "svctest: SVCSTOP_CMDLINE is not set\n");
		return 2;
	}
	static char line[32768]; /* CreateProcessA may write to it */
	snprintf(line, sizeof line, "%s", cmdline);

	SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
	HANDLE read_end = NULL, out = NULL;
	char out_path[MAX_PATH] = "";
	if (strcmp(how, "pipe") == 0) {
		if (!CreatePipe(&read_end, &out, &inherit, 0))
			fail("CreatePipe");
		SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
	} else if (strcmp(how, "file") == 0) {
		char dir[MAX_PATH];
		if (!GetTempPathA(sizeof dir, dir) ||
		    !GetTempFileNameA(dir, "svc", 0, out_path))
			fail("GetTempFileNameA");
		out = CreateFileA(out_path, GENERIC_WRITE, FILE_SHARE_READ,
				  &inherit, CREATE_ALWAYS,
				  FILE_ATTRIBUTE_NORMAL, NULL);
		if (out == INVALID_HANDLE_VALUE)
			fail("CreateFileA");
	} else if (strcmp(how, "none") != 0) {
		fprintf(stderr, "svctest: run pipe|file|none\n");
		return 2;
	}

	STARTUPINFOA si;
	memset(&si, 0, sizeof si);
	si.cb = sizeof si;
	si.dwFlags = STARTF_USESTDHANDLES;
	si.hStdInput = NULL;
	si.hStdOutput = out;
	si.hStdError = NULL;
	PROCESS_INFORMATION pi;

	LARGE_INTEGER freq, t0, t1;
	QueryPerformanceFrequency(&freq);
	QueryPerformanceCounter(&t0);
	if (!CreateProcessA(exe, line, NULL, NULL, out != NULL, 0, NULL, NULL,
			    &si, &pi))
		fail("CreateProcessA");
	if (out != NULL)
		CloseHandle(out);

	static char bytes[4096];
	DWORD got = 0, n;
	if (read_end != NULL) {
		while (got < sizeof bytes &&
		       ReadFile(read_end, bytes + got, sizeof bytes - got, &n,
				NULL) &&
		       n > 0)
			got += n;
	}
	WaitForSingleObject(pi.hProcess, INFINITE);
	QueryPerformanceCounter(&t1);
	DWORD code;
	if (!GetExitCodeProcess(pi.hProcess, &code))
		fail("GetExitCodeProcess");

	if (out_path[0] != '\0') {
		HANDLE f = CreateFileA(out_path, GENERIC_READ, FILE_SHARE_READ,
				       NULL, OPEN_EXISTING,
				       FILE_ATTRIBUTE_NORMAL, NULL);
		if (f == INVALID_HANDLE_VALUE ||
		    !ReadFile(f, bytes, sizeof bytes, &got, NULL))
			fail("ReadFile");
		CloseHandle(f);
		DeleteFileA(out_path);
	}

	long long ms = (t1.QuadPart - t0.QuadPart) * 1000 / freq.QuadPart;
	printf("exit=%lu ms=%lld out=", (unsigned long)code, ms);
	for (DWORD i = 0; i < got; i++)
		printf("%02x", (unsigned char)bytes[i]);
	printf("\n");
	return 0;
}

int main(int argc, char *argv[])
{
	const char *cmd = argc > 1 ? argv[1] : "";
	if (strcmp(cmd, "create") == 0 && argc == 5)
		return create(argv[2], argv[3], argv[4]);
	if (strcmp(cmd, "start") == 0 && argc == 3)
		return start(argv[2]);
	if (strcmp(cmd, "control") == 0 && argc == 4)
		return control(argv[2], argv[3]);
	if (strcmp(cmd, "state") == 0 && argc == 3) {
		puts(state_name(state_of(open_service(argv[2]))));
		return 0;
	}
	if (strcmp(cmd, "wait") == 0 && argc == 5)
		return wait_state(argv[2], argv[3], argv[4]);
	if (strcmp(cmd, "delete") == 0 && argc == 3)
		return delete_service(argv[2]);
	if (strcmp(cmd, "run") == 0 && argc == 4)
		return run(argv[2], argv[3]);
	fprintf(stderr, "usage: see the comment at the top of svctest.cpp\n");
	return 2;
}
