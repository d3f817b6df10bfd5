#!/usr/bin/env python3
"""The release workflow's Authenticode signing, with throwaway keys.

Makes a code-signing CA, a certificate and a timestamp authority with
openssl, answers timestamp requests from 127.0.0.1 with `openssl ts -reply`,
and runs `cmake --workflow --preset release-ARCH` with and without them.
Run from the source tree after that workflow and the ARCH test build.

usage: check_signing.py win32|win64
"""
import hashlib
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

from results import print_results

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PASSWORD = "throwaway-7d1f0c"
SIGN_VARS = ("SVCSTOP_SIGN_PFX", "SVCSTOP_SIGN_PASSWORD_FILE", "SVCSTOP_TIMESTAMP_URL")

TSA_CONFIG = """\
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
dir = {dir}
serial = $dir/tsa.serial
crypto_device = builtin
signer_cert = $dir/tsa.pem
signer_key = $dir/tsa.key
certs = $dir/ca.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.0.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_keys(d):
    """A CA, a code-signing certificate in a PKCS#12 file, and a TSA."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
            "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=svcstop throwaway CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    for name, usage in (("sign", "codeSigning"), ("tsa", "critical,timeStamping")):
        with open(os.path.join(d, name + ".ext"), "w") as f:
            f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    f"extendedKeyUsage={usage}\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                "-out", name + ".csr", "-subj", f"/CN=svcstop throwaway {name}", cwd=d)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "30", "-extfile", name + ".ext",
                "-out", name + ".pem", cwd=d)
    with open(os.path.join(d, "password"), "w") as f:
        f.write(PASSWORD + "\n")
    with open(os.path.join(d, "wrong-password"), "w") as f:
        f.write("not-" + PASSWORD + "\n")
    openssl("pkcs12", "-export", "-inkey", "sign.key", "-in", "sign.pem",
            "-certfile", "ca.pem", "-out", "sign.pfx", "-passout", "file:password", cwd=d)
    with open(os.path.join(d, "tsa.cnf"), "w") as f:
        f.write(TSA_CONFIG.format(dir=d))
    with open(os.path.join(d, "tsa.serial"), "w") as f:
        f.write("01\n")


def start_tsa(d):
    """An RFC 3161 responder on 127.0.0.1; returns (server, url)."""
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with lock:
                with open(os.path.join(d, "request.tsq"), "wb") as f:
                    f.write(query)
                p = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf",
                                    "-queryfile", "request.tsq", "-out", "reply.tsr"],
                                   cwd=d, capture_output=True)
                reply = open(os.path.join(d, "reply.tsr"), "rb").read() \
                    if p.returncode == 0 else b""
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


class Release:
    def __init__(self, arch, keys, epoch):
        self.arch, self.keys, self.epoch = arch, keys, epoch
        self.build = os.path.join(ROOT, "build", "release-" + arch)
        cache = open(os.path.join(self.build, "CMakeCache.txt")).read()
        version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache, re.M).group(1)
        self.zip = os.path.join(self.build, f"svcstop-{version}-{arch}.zip")
        self.staged = os.path.join(self.build, "_CPack_Packages", arch, "ZIP",
                                   f"svcstop-{version}-{arch}", "svcstop.exe")
        self.unsigned = os.path.join(self.build, "svcstop.exe")
        self.logs = []

    def workflow(self, **sign):
        """Packs the release with the given signing variables; returns
        (exit status, output, exe bytes from the zip or None).

        strace records every command line the workflow runs, so that the
        password can be looked for there as well as in the output."""
        env = {k: v for k, v in os.environ.items() if k not in SIGN_VARS}
        env.update(sign, no_proxy="127.0.0.1")
        if os.path.exists(self.zip):
            os.remove(self.zip)
        execs = os.path.join(self.keys, "execve.log")
        p = subprocess.run(["strace", "-f", "-qq", "-e", "trace=execve", "-e", "signal=none",
                            "-s", "4096", "-o", execs,
                            "cmake", "--workflow", "--preset", "release-" + self.arch],
                           cwd=ROOT, env=env, capture_output=True, text=True)
        output = p.stdout + p.stderr
        with open(execs) as f:
            self.logs.append(output + f.read())
        exe = None
        if os.path.exists(self.zip):
            with zipfile.ZipFile(self.zip) as z:
                exe = z.read("svcstop.exe")
                sums = z.read("SHA256SUMS").decode()
            if sums.split()[0] != sha256(exe):
                output += "\nSHA256SUMS does not match the exe in the zip"
                exe = None
        return p.returncode, output, exe

    def signed_env(self, timestamp_url=None, pfx="sign.pfx", password="password"):
        env = {"SVCSTOP_SIGN_PFX": os.path.join(self.keys, pfx),
               "SVCSTOP_SIGN_PASSWORD_FILE": os.path.join(self.keys, password),
               "SOURCE_DATE_EPOCH": self.epoch}
        if timestamp_url:
            env["SVCSTOP_TIMESTAMP_URL"] = timestamp_url
        return env


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def osslsigncode(*args):
    p = subprocess.run(["osslsigncode", *args], capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def verify(keys, path):
    ca = os.path.join(keys, "ca.pem")
    return osslsigncode("verify", "-CAfile", ca, "-TSA-CAfile", ca, "-in", path)


def text_offset(data):
    """The file offset of a byte inside the first section's raw data."""
    pe = int.from_bytes(data[0x3C:0x40], "little")
    optional_size = int.from_bytes(data[pe + 20:pe + 22], "little")
    section = pe + 24 + optional_size
    raw = int.from_bytes(data[section + 20:section + 24], "little")
    return raw + 0x40


def checks(release, work, tsa_url, loader, svctest):
    keys = release.keys
    exe_path = os.path.join(work, "signed.exe")
    unsigned = open(release.unsigned, "rb").read()

    rc, out, exe = release.workflow(**release.signed_env(tsa_url))
    problems = [] if rc == 0 and exe else [f"signed workflow failed (exit {rc}):\n{out}"]
    if exe == unsigned:
        problems.append("the zip holds the unsigned exe")
    yield "signed and timestamped release packs", problems
    if problems:
        return
    with open(exe_path, "wb") as f:
        f.write(exe)

    rc, out = verify(keys, exe_path)
    problems = [] if rc == 0 else [f"osslsigncode verify failed:\n{out}"]
    if not re.search(r"Timestamp Server Signature verification: ok", out):
        problems.append(f"no verified timestamp in:\n{out}")
    if "Text description: svcstop" not in out:
        problems.append(f"program name svcstop not shown in:\n{out}")
    t = time.gmtime(int(release.epoch))
    when = f"{time.strftime('%b', t)} {t.tm_mday:2d} {time.strftime('%H:%M:%S %Y', t)} GMT"
    if f"Signing time: {when}" not in out:
        problems.append(f"signing time is not the source time {when}:\n{out}")
    yield "signature verifies with the throwaway CA and carries the timestamp", problems

    flipped = bytearray(exe)
    flipped[text_offset(exe)] ^= 0x01
    flipped_path = os.path.join(work, "flipped.exe")
    with open(flipped_path, "wb") as f:
        f.write(flipped)
    rc, out = verify(keys, flipped_path)
    yield "one flipped code byte fails verification", \
        [] if rc != 0 and "MISMATCH" in out else [f"no digest mismatch found:\n{out}"]

    stripped_path = os.path.join(work, "stripped.exe")
    rc, out = osslsigncode("remove-signature", "-in", exe_path, "-out", stripped_path)
    problems = [f"remove-signature failed:\n{out}"] if rc != 0 else []
    if rc == 0 and open(stripped_path, "rb").read() != unsigned:
        problems.append("the stripped exe differs from the unsigned release exe")
    yield "removing the signature gives back the unsigned release exe", problems

    rc1, out1, first = release.workflow(**release.signed_env())
    rc2, out2, second = release.workflow(**release.signed_env())
    problems = []
    if not first or not second:
        problems.append(f"untimestamped signing failed:\n{out1}\n{out2}")
    elif first != second:
        problems.append("two signings of the same build differ")
    yield "two signings with the same key and source time are identical", problems

    yield "signed exe stops a service under Wine", wine_stop(exe_path, work, loader, svctest)

    for label, env in (
            ("wrong password", release.signed_env(password="wrong-password")),
            ("missing certificate", release.signed_env(pfx="no-such.pfx")),
            ("missing password file", release.signed_env(password="no-such-file")),
            ("password file but no certificate",
             {"SVCSTOP_SIGN_PASSWORD_FILE": os.path.join(keys, "password")})):
        rc, out, exe = release.workflow(**env)
        problems = []
        if rc == 0:
            problems.append("the workflow succeeded")
        if "svcstop.exe not signed" not in out:
            problems.append(f"no clear message in:\n{out}")
        left = [p for p in (release.zip, release.staged, release.staged + ".signing")
                if os.path.exists(p)]
        if left:
            problems.append(f"left behind: {left}")
        yield f"{label}: the workflow fails and packs nothing", problems

    leaked = [i for i, log in enumerate(release.logs) if PASSWORD in log]
    yield "the password is on no command line and in no build output", \
        [f"the password shows in workflow run {leaked}"] if leaked else []

    rc, out, exe = release.workflow()
    problems = [] if rc == 0 and exe else [f"unsigned workflow failed:\n{out}"]
    if exe and exe != unsigned:
        problems.append("without a certificate the zip's exe is not the build's exe")
    yield "without a certificate the release is unsigned, as before", problems


def wine_stop(exe, work, loader, svctest):
    """The Wine suite's stop cases, run against the signed exe."""
    driver = os.path.join(ROOT, "tests", "wine_cases.py")
    rundir = os.path.join(work, "wine")
    problems = []
    try:
        for group in ("setup", "stop"):
            p = subprocess.run([sys.executable, driver, loader, exe, svctest, rundir, group],
                               capture_output=True, text=True)
            if p.returncode != 0:
                problems.append(f"wine_cases.py {group}: exit {p.returncode}\n{p.stdout}")
                break
    finally:
        subprocess.run([sys.executable, driver, loader, exe, svctest, rundir, "cleanup"],
                       capture_output=True)
    return problems


def main():
    arch = sys.argv[1]
    test_build = os.path.join(ROOT, "build", arch)
    cache = open(os.path.join(test_build, "CMakeCache.txt")).read()
    loader = re.search(r"^WINE_LOADER:FILEPATH=(.*)$", cache, re.M).group(1)
    svctest = os.path.join(test_build, "tests", "wine", "svctest.exe")
    work = tempfile.mkdtemp(prefix="svcstop-signing-")
    server = None
    try:
        make_keys(work)
        server, url = start_tsa(work)
        # A source time within the certificates' validity (they are seconds
        # old) and an hour from the clock's, so that it cannot be mistaken
        # for the time of signing or of the timestamp.
        epoch = str(int(os.path.getmtime(os.path.join(work, "sign.pfx"))) + 3600)
        release = Release(arch, work, epoch)
        return print_results((label, problems, "") for label, problems
                             in checks(release, work, url, loader, svctest))
    finally:
        if server:
            server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
