#!/usr/bin/env python3
"""svcstop's behaviour on the Linux host, over the simulated manager.

Each row runs the host build as a real process and checks the whole call
sequence the simulator traced on stderr, the exact stdout bytes, the exit
status and whether the run paused.

usage: host_cases.py SVCSTOP GROUP
"""
import os
import re
import subprocess
import sys
import tempfile
import time
from typing import NamedTuple

from results import print_results

OPEN_SCM = "OpenSCManagerA(NULL, NULL, 2) -> scm"
QUERY = "QueryServiceStatus(svc, rec1) -> 1"
STOP = ["ControlService(svc, 1, rec1) -> 1", "Sleep(500)"]
CLOSE = ["CloseServiceHandle(svc) -> 1", "CloseServiceHandle(scm) -> 1"]


def open_svc(name="Spooler", result="svc"):
    return f'OpenServiceA(scm, "{name}", 983551) -> {result}'


def dies(error, status=None):
    """The tail of a failed run: the error read, then the process ended."""
    return [f"GetLastError() -> {error}", f"ExitProcess({error if status is None else status})"]


def report(message, error):
    return f"{message}\nError number: {error}\n".encode()


class Case(NamedTuple):
    name: str
    args: list
    env: dict
    trace: list
    stdout: bytes
    status: int
    paused: bool = False


RUNNING = {"SCM_SIM_STATE": "4"}

GROUPS = {
    "arguments": [
        Case("no argument", [], {}, [], b"", 160),
        Case("two arguments", ["Print", "Spooler"], {}, [], b"", 160),
        Case("three arguments", ["a", "b", "c"], {}, [], b"", 160),
        Case("empty name passed on", [""], RUNNING,
             [OPEN_SCM, open_svc(""), QUERY, *STOP, *CLOSE], b"", 0, True),
        Case("name with blanks passed unchanged", ["My  Service "], RUNNING,
             [OPEN_SCM, open_svc("My  Service "), QUERY, *STOP, *CLOSE], b"", 0, True),
        Case("option-like name is a name", ["-h"], RUNNING,
             [OPEN_SCM, open_svc("-h"), QUERY, *STOP, *CLOSE], b"", 0, True),
    ],
    "states": [
        Case("stopped: no control, no pause", ["Spooler"], {"SCM_SIM_STATE": "1"},
             [OPEN_SCM, open_svc(), QUERY, *CLOSE], b"", 0),
    ] + [
        Case(f"{label}: stop sent, then pause", ["Spooler"], {"SCM_SIM_STATE": str(state)},
             [OPEN_SCM, open_svc(), QUERY, *STOP, *CLOSE], b"", 0, True)
        for state, label in [(2, "start pending"), (3, "stop pending"), (4, "running"),
                             (5, "continue pending"), (6, "pause pending"), (7, "paused")]
    ],
    "failures": [
        Case("access denied on the manager", ["Spooler"], {"SCM_SIM_FAIL": "OpenSCManagerA:5"},
             ["OpenSCManagerA(NULL, NULL, 2) -> NULL", *dies(5)],
             report("In OpenScManager", 5), 5),
        Case("no such service", ["Nope"], {"SCM_SIM_FAIL": "OpenServiceA:1060"},
             [OPEN_SCM, open_svc("Nope", "NULL"), *dies(1060)],
             report("In OpenService", 1060), 1060 & 0xFF),
        Case("query refused", ["Spooler"], {"SCM_SIM_FAIL": "QueryServiceStatus:6"},
             [OPEN_SCM, open_svc(), "QueryServiceStatus(svc, rec1) -> 0", *dies(6)],
             report("In QueryServiceStatus", 6), 6),
        Case("stop already pending, refused",
             ["Spooler"], {"SCM_SIM_STATE": "3", "SCM_SIM_FAIL": "ControlService:1061"},
             [OPEN_SCM, open_svc(), QUERY, "ControlService(svc, 1, rec1) -> 0", *dies(1061)],
             report("In ControlService", 1061), 1061 & 0xFF),
        Case("error of 2^31 printed unsigned", ["Spooler"],
             {"SCM_SIM_FAIL": "OpenServiceA:0x80000000"},
             [OPEN_SCM, open_svc(result="NULL"), *dies(2147483648)],
             report("In OpenService", 2147483648), 255),
        Case("largest error", ["Spooler"], {"SCM_SIM_FAIL": "ControlService:0xFFFFFFFF"},
             [OPEN_SCM, open_svc(), QUERY, "ControlService(svc, 1, rec1) -> 0", *dies(4294967295)],
             report("In ControlService", 4294967295), 255),
        Case("error whose low byte is zero", ["Spooler"], {"SCM_SIM_FAIL": "OpenServiceA:256"},
             [OPEN_SCM, open_svc(result="NULL"), *dies(256)],
             report("In OpenService", 256), 255),
        Case("error 0 still fails", ["Spooler"], {"SCM_SIM_FAIL": "OpenServiceA:0"},
             [OPEN_SCM, open_svc(result="NULL"), *dies(0, 1)],
             report("In OpenService", 0), 1),
        Case("failed close ignored", ["Spooler"], {"SCM_SIM_FAIL": "CloseServiceHandle:6"},
             [OPEN_SCM, open_svc(), QUERY, *STOP,
              "CloseServiceHandle(svc) -> 0", "CloseServiceHandle(scm) -> 0"], b"", 0, True),
    ],
}


def run(svcstop, case, stdout, preexec_fn=None, wrapper=()):
    """Runs one case; returns (stdout bytes, stderr text, status, seconds)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("SCM_SIM_")}
    env.update(case.env)
    start = time.monotonic()
    p = subprocess.run([*wrapper, svcstop, *case.args], env=env, stdout=stdout,
                       stderr=subprocess.PIPE, preexec_fn=preexec_fn, timeout=30)
    return p.stdout, p.stderr.decode(), p.returncode, time.monotonic() - start


def check(case, out, err, status, seconds, stdout_seen=True, writes=None):
    problems = []
    if err.splitlines() != case.trace:
        problems.append("calls:\n    " + "\n    ".join(err.splitlines())
                        + "\n  expected:\n    " + "\n    ".join(case.trace))
    if stdout_seen and out != case.stdout:
        problems.append(f"stdout {out!r}, expected {case.stdout!r}")
    if status != case.status:
        problems.append(f"exit status {status}, expected {case.status}")
    if case.paused and seconds < 0.5:
        problems.append(f"took {seconds:.3f} s, expected a pause of 500 ms")
    if not case.paused and seconds >= 0.5:
        problems.append(f"took {seconds:.3f} s, expected no pause")
    if writes is not None and writes != case.stdout.splitlines(keepends=True):
        problems.append(f"writes to stdout {writes!r}, expected one whole line each")
    return problems


def closed_stdout(svcstop, case):
    """stdout not open at all: the writes fail, nothing else changes."""
    return run(svcstop, case, None, preexec_fn=lambda: os.close(1))


def broken_pipe(svcstop, case):
    """stdout a pipe whose reader is gone: no death by SIGPIPE."""
    r, w = os.pipe()
    os.close(r)
    try:
        return run(svcstop, case, w)
    finally:
        os.close(w)


def write_calls(svcstop, case):
    """stdout a pipe, and strace shows each write(2) to it: a line that
    reaches the platform in pieces, or two lines in one write, shows here."""
    with tempfile.TemporaryDirectory() as d:
        log = os.path.join(d, "strace")
        # LeakSanitizer cannot work under ptrace; leaks are checked elsewhere.
        quiet_lsan = case._replace(env={**case.env, "ASAN_OPTIONS": "detect_leaks=0"})
        result = run(svcstop, quiet_lsan, subprocess.PIPE,
                     wrapper=["strace", "-qq", "-e", "trace=write", "-e", "signal=none",
                              "-xx", "-s", "65536", "-o", log])
        with open(log) as f:
            calls = re.findall(r'^write\(1, "((?:\\x[0-9a-f]{2})*)"', f.read(), re.M)
    return *result, [bytes.fromhex(c.replace("\\x", "")) for c in calls]


OUTPUT_CASES = [
    (closed_stdout, GROUPS["failures"][1]),
    (closed_stdout, GROUPS["failures"][4]),
    (broken_pipe, GROUPS["failures"][1]),
    (broken_pipe, GROUPS["failures"][0]),
    (write_calls, GROUPS["failures"][0]),
    (write_calls, GROUPS["failures"][4]),
    (write_calls, GROUPS["states"][0]),
]


def main():
    svcstop, group = sys.argv[1], sys.argv[2]
    if group == "output":
        runs = [(f"{how.__name__}: {case.name}", case, lambda h=how, c=case: h(svcstop, c))
                for how, case in OUTPUT_CASES]
    else:
        runs = [(case.name, case,
                 lambda c=case: run(svcstop, c, subprocess.PIPE)) for case in GROUPS[group]]

    def results():
        for label, case, go in runs:
            out, err, status, seconds, *writes = go()
            yield (f"{label} {case.args!r}",
                   check(case, out, err, status, seconds, stdout_seen=out is not None,
                         writes=writes[0] if writes else None), "")
    return print_results(results())


if __name__ == "__main__":
    sys.exit(main())
