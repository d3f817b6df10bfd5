#!/usr/bin/env python3
"""svcstop.exe against Wine's Service Control Manager.

Real fixture services (fixture_service.exe) are installed in a private Wine
prefix; svctest.exe, on the Windows side, starts, pauses and queries them,
and runs svcstop.exe with an exact command line, reporting its full 32-bit
exit code, its run time and its stdout bytes.

usage: wine_cases.py LOADER SVCSTOP SVCTEST RUNDIR setup|cleanup|batch|GROUP

setup makes the prefix and the services, each GROUP runs a table of cases,
batch runs batch files through Wine's cmd.exe, and cleanup deletes the
services and ends the Wine server. Exit 77 means skipped.
"""
import os
import shutil
import statistics
import subprocess
import sys
from typing import NamedTuple

from results import print_results

SKIP = 77

# name -> fixture mode; the last one has blanks in its name
SERVICES = {
    "svcstop-prompt": "prompt",
    "svcstop-slow": "slow",
    "svcstop-nostop": "nostop",
    "svcstop-pausable": "pausable",
    "svcstop blank name": "prompt",
}


def report(message, error):
    return f"{message}\r\nError number: {error}\r\n".encode()


class Case(NamedTuple):
    name: str
    prep: list        # svctest commands that set the scene
    cmdline: str      # what follows svcstop.exe on the command line
    status: int       # full exit code; None: must equal the printed number
    stdout: bytes     # exact bytes; with status None, the first line only
    paused: bool      # True: ran at least 500 ms; False: well under
    after: tuple = ()  # (service, state) once it has finished
    controls: tuple = ()  # (service, controls the service saw, in order)
    how: str = "pipe"


NO_OUTPUT = b""

GROUPS = {
    "stop": [
        Case("running service is stopped", [("start", "svcstop-prompt")],
             "svcstop-prompt", 0, NO_OUTPUT, True,
             after=("svcstop-prompt", "STOPPED"), controls=("svcstop-prompt", [1])),
        Case("already stopped: no control, no pause", [("stopped", "svcstop-prompt")],
             "svcstop-prompt", 0, NO_OUTPUT, False,
             after=("svcstop-prompt", "STOPPED"), controls=("svcstop-prompt", [])),
        Case("paused service is stopped",
             [("start", "svcstop-pausable"), ("control", "svcstop-pausable", "pause")],
             "svcstop-pausable", 0, NO_OUTPUT, True,
             after=("svcstop-pausable", "STOPPED"), controls=("svcstop-pausable", [1])),
        Case("quoted name with blanks", [("start", "svcstop blank name")],
             '"svcstop blank name"', 0, NO_OUTPUT, True,
             after=("svcstop blank name", "STOPPED"),
             controls=("svcstop blank name", [1])),
    ],
    "refused": [
        Case("missing service", [], "svcstop-missing", 1060,
             report("In OpenService", 1060), False),
        Case("empty quoted name", [], '""', None, b"In OpenService\r\n", False),
        Case("stop already pending",
             [("start", "svcstop-slow"), ("control", "svcstop-slow", "stop")],
             "svcstop-slow", 1061, report("In ControlService", 1061), False,
             after=("svcstop-slow", "STOP_PENDING"), controls=("svcstop-slow", [])),
        Case("service that refuses stop", [("start", "svcstop-nostop")],
             "svcstop-nostop", 1052, report("In ControlService", 1052), False,
             after=("svcstop-nostop", "RUNNING"), controls=("svcstop-nostop", [])),
    ],
    "arguments": [
        Case("no argument", [], "", 160, NO_OUTPUT, False),
        Case("two arguments", [("start", "svcstop-prompt")],
             "svcstop-prompt svcstop-prompt", 160, NO_OUTPUT, False,
             after=("svcstop-prompt", "RUNNING"), controls=("svcstop-prompt", [])),
        Case("unquoted name with blanks does nothing", [("start", "svcstop blank name")],
             "svcstop blank name", 160, NO_OUTPUT, False,
             after=("svcstop blank name", "RUNNING"),
             controls=("svcstop blank name", [])),
        Case("wildcard is a name, not a file pattern", [], "*", 1060,
             report("In OpenService", 1060), False),
        Case("empty pair next to a name is a second argument", [("start", "svcstop-prompt")],
             'svcstop-prompt ""', 160, NO_OUTPUT, False,
             after=("svcstop-prompt", "RUNNING"), controls=("svcstop-prompt", [])),
    ],
    "output": [
        Case("report to a file", [], "svcstop-missing", 1060,
             report("In OpenService", 1060), False, how="file"),
        Case("no stdout handle: exit code still the error", [], "svcstop-missing", 1060,
             NO_OUTPUT, False, how="none"),
        Case("no stdout handle, success", [("start", "svcstop-prompt")],
             "svcstop-prompt", 0, NO_OUTPUT, True, how="none",
             after=("svcstop-prompt", "STOPPED")),
    ],
}


class Batch(NamedTuple):
    name: str
    prep: list        # svctest commands that set the scene
    script: str       # a .cmd file's lines; svcstop.exe's folder is on PATH
    stdout: str       # what cmd.exe prints, lines ended by CR LF
    after: tuple = ()  # (service, state) once it has finished


# The way administrators call svcstop: batch files run by Wine's cmd.exe.
BATCH = [
    Batch("%ERRORLEVEL% after a stop and after a missing service",
          [("start", "svcstop-prompt")],
          "svcstop svcstop-prompt\n"
          "echo errorlevel %ERRORLEVEL%\n"
          "svcstop svcstop-missing\n"
          "echo errorlevel %ERRORLEVEL%\n",
          "errorlevel 0\nIn OpenService\nError number: 1060\nerrorlevel 1060\n",
          after=("svcstop-prompt", "STOPPED")),
    Batch("if errorlevel 1 and NEQ 0 take the failure branch only after a failure",
          [("start", "svcstop-prompt")],
          "svcstop svcstop-missing >nul\n"
          "if errorlevel 1 (echo failure branch) else (echo success branch)\n"
          "if %ERRORLEVEL% NEQ 0 echo NEQ 0 after a failure\n"
          "svcstop svcstop-prompt\n"
          "if errorlevel 1 (echo failure branch) else (echo success branch)\n"
          "if %ERRORLEVEL% NEQ 0 echo NEQ 0 after a success\n",
          "failure branch\nNEQ 0 after a failure\nsuccess branch\n"),
    # Windows runs the command after || only when the status is not 0. Wine
    # 8's cmd.exe runs it whatever the status (and the one after && too), so
    # only the failure side is checked here.
    Batch("|| runs its command after a failure", [],
          "svcstop svcstop-missing >nul || echo failed: svcstop-missing\n",
          "failed: svcstop-missing\n"),
    Batch("for /f reads the two report lines", [],
          "for /f \"delims=\" %%L in ('svcstop svcstop-missing') do echo [%%L]\n",
          "[In OpenService]\n[Error number: 1060]\n"),
    Batch("a name with blanks, quoted", [("start", "svcstop blank name")],
          "svcstop \"svcstop blank name\"\n"
          "echo errorlevel %ERRORLEVEL%\n",
          "errorlevel 0\n", after=("svcstop blank name", "STOPPED")),
]

def windows_path(path):
    """The prefix's drive Z: is the Linux root."""
    return "Z:" + path.replace("/", "\\")


class Wine:
    def __init__(self, loader, svcstop, svctest, rundir):
        self.loader, self.svcstop, self.svctest = loader, svcstop, svctest
        self.rundir = rundir
        self.server = os.path.join(os.path.dirname(loader), "wineserver")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(rundir, "prefix"),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def log(self, service):
        return os.path.join(self.rundir, "logs", service + ".log")

    def tool(self, *args, check=True, env=None, quiet=False):
        """Runs svctest.exe; returns its stdout."""
        out = subprocess.DEVNULL if quiet else subprocess.PIPE
        p = subprocess.run([self.loader, self.svctest, *args], env=env or self.env,
                           stdout=out, stderr=out, stdin=subprocess.DEVNULL, timeout=60)
        if check and p.returncode != 0:
            raise RuntimeError(f"svctest {' '.join(args)}: exit {p.returncode}\n"
                               f"{p.stdout.decode()}{p.stderr.decode()}")
        return "" if quiet else p.stdout.decode().strip()

    def prepare(self, step):
        verb, service = step[0], step[1]
        if verb in ("start", "stopped"):
            # A stop left pending by an earlier case must end first.
            if self.tool("state", service) not in ("STOPPED", "STOP_PENDING"):
                self.tool("control", service, "stop")
            self.tool("wait", service, "STOPPED", "20")
        if verb == "start":
            self.tool("start", service)
        if verb == "control":
            self.tool("control", service, step[2])

    def run(self, cmdline, how, program=None):
        exe = windows_path(program or self.svcstop)
        env = dict(self.env, SVCSTOP_CMDLINE=f'"{exe}" {cmdline}'.rstrip())
        fields = dict(f.split("=", 1) for f in self.tool("run", how, exe, env=env).split())
        return int(fields["exit"]), int(fields["ms"]), bytes.fromhex(fields["out"])

    def batch(self, script):
        """Runs the lines through Wine's cmd.exe as a .cmd file; returns stdout."""
        path = os.path.join(self.rundir, "case.cmd")
        folder = windows_path(os.path.dirname(self.svcstop))
        with open(path, "w", newline="\r\n") as f:
            f.write(f'@echo off\nset "PATH={folder};%PATH%"\n{script}')
        p = subprocess.run([self.loader, "cmd", "/c", windows_path(path)], env=self.env,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return p.stdout


def setup(wine):
    """A fresh prefix holding the fixture services, and a server kept alive."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, env=wine.env, timeout=300)
    subprocess.run([wine.server, "-k"], **quiet)
    shutil.rmtree(wine.rundir, ignore_errors=True)
    os.makedirs(os.path.join(wine.rundir, "logs"))
    # Services created before the first boot has settled are lost: wait for
    # the server to finish, then keep one alive so that started services
    # survive between commands. Wine's system processes start with the first
    # command after that and live on; they get /dev/null, or the reader of a
    # later test's pipe would wait for them forever.
    subprocess.run([wine.loader, "wineboot", "-i"], **quiet, check=True)
    subprocess.run([wine.server, "-w"], **quiet, check=True)
    subprocess.run([wine.server, "-p"], **quiet, check=True)
    subprocess.run([wine.loader, "wineboot"], **quiet, check=True)
    for service, mode in SERVICES.items():
        wine.tool("create", service, mode, windows_path(wine.log(service)))
    return 0


def cleanup(wine):
    for service in SERVICES:
        wine.tool("delete", service, check=False)
    subprocess.run([wine.server, "-k"], env=wine.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([wine.server, "-w"], env=wine.env, timeout=60)
    return 0


def controls_seen(wine, service):
    try:
        with open(wine.log(service)) as f:
            return [int(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def no_pause_limit(wine):
    """How long a run may take that does not pause, measured here and now.

    The yardstick is svctest.exe with no arguments: a Windows program of the
    same build that returns at once, so that no fault of svcstop's can creep
    into it. Under qemu-user such a run takes hundreds of ms, and a run of
    svcstop now and then over 200 ms more. The limit is the yardstick's
    median time, after one run to warm up, plus 350 ms: a 500 ms pause on a
    path that must not pause still shows.
    """
    times = [wine.run("", "pipe", wine.svctest)[1] for _ in range(4)]
    return statistics.median(times[1:]) + 350


def state_problems(wine, after):
    """Whether the service ended in the expected state, given time to stop."""
    if not after:
        return []
    service, want = after
    seconds = "10" if want == "STOPPED" else "0"
    state = wine.tool("wait", service, want, seconds, check=False)
    return [] if state == want else [f"{service} is {state}, expected {want}"]


def check_batch(wine, batch):
    for step in batch.prep:
        wine.prepare(step)
    out = wine.batch(batch.script)
    want = batch.stdout.replace("\n", "\r\n").encode()
    problems = [] if out == want else [f"cmd.exe printed {out!r}, expected {want!r}"]
    return problems + state_problems(wine, batch.after)


def check(wine, case, limit):
    for step in case.prep:
        wine.prepare(step)
    if case.controls:
        open(wine.log(case.controls[0]), "w").close()
    status, ms, out = wine.run(case.cmdline, case.how)
    problems = []
    if case.status is None:
        # The platform picks the number: it must be printed and returned.
        lines = out.split(b"\r\n")
        printed = lines[1].removeprefix(b"Error number: ") if len(lines) == 3 else b""
        if not out.startswith(case.stdout) or not printed.isdigit() \
                or int(printed) != status or status == 0:
            problems.append(f"stdout {out!r} with exit {status}: expected "
                            f"{case.stdout!r} and the number printed as the exit code")
    else:
        if out != case.stdout:
            problems.append(f"stdout {out!r}, expected {case.stdout!r}")
        if status != case.status:
            problems.append(f"exit code {status}, expected {case.status}")
    if case.paused and ms < 500:
        problems.append(f"took {ms} ms, expected a pause of at least 500 ms")
    if not case.paused and ms >= limit:
        problems.append(f"took {ms} ms, expected no pause (under {limit} ms here)")
    problems += state_problems(wine, case.after)
    if case.controls:
        service, want = case.controls
        seen = controls_seen(wine, service)
        if seen != want:
            problems.append(f"{service} received controls {seen}, expected {want}")
    return problems, ms, status


def main():
    loader, svcstop, svctest, rundir, group = sys.argv[1:6]
    if not loader:
        print("skipped: Wine is not installed")
        return SKIP
    try:
        subprocess.run([loader, "--version"], capture_output=True, check=True)
    except OSError as e:
        # Seen on machines whose kernel runs no 32-bit Linux programs:
        # Wine's 32-bit loader is one, so no 32-bit exe can run there
        # until scripts/emulate-i386 has set up qemu-user.
        print(f"skipped: this machine cannot run Wine's loader {loader}: {e}"
              " (scripts/emulate-i386 sets up emulation)")
        return SKIP

    wine = Wine(loader, svcstop, svctest, rundir)
    if group == "setup":
        return setup(wine)
    if group == "cleanup":
        return cleanup(wine)

    if group == "batch":
        return print_results((f"{b.name} [cmd.exe]", check_batch(wine, b), "")
                             for b in BATCH)

    limit = no_pause_limit(wine)
    print(f"a run without a pause must take under {limit} ms here")

    def results():
        for case in GROUPS[group]:
            problems, ms, status = check(wine, case, limit)
            yield (f"{case.name} [{case.how}] svcstop.exe {case.cmdline}", problems,
                   f" (exit {status}, {ms} ms)")
    return print_results(results())


if __name__ == "__main__":
    sys.exit(main())
