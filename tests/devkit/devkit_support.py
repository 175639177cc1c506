"""Shared pieces for the devkit tests: a throw-away home folder with the desk
laid down in it, the stand-in service, and small HTTP helpers.

Everything a test starts lives under one temporary folder; `Sandbox.close`
stops it all (also after a failure) and removes the folder.
"""

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True

REPO = Path(__file__).resolve().parents[2]
DEVKIT = REPO / "devkit"
PAYLOAD = DEVKIT / "payload"
PYTHON = "/usr/bin/python3"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def last_lines(text, count=1):
    return "\n".join([line for line in text.split("\n") if line.strip()][-count:])


def request(port, path, method="GET", body=None, headers=None, timeout=5):
    """(status, headers, body) of one HTTP request to 127.0.0.1."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        answer = conn.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()
    finally:
        conn.close()


def raw(port, data=b"", sock=None):
    """Send bytes as they are and return whatever comes back before the close."""
    with sock or socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        try:
            s.sendall(data)
        except OSError:
            pass
        chunks = [b"x"]
        try:
            while chunks[-1]:
                chunks.append(s.recv(65536))
        except (socket.timeout, ConnectionResetError):
            pass
        return b"".join(chunks[1:])


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


def wait_for(check, seconds=15.0):
    """Poll `check` until it is true or the time is up; its last value."""
    deadline = time.monotonic() + seconds
    while not (value := check()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return value


class Sandbox:
    """A temporary home folder; the desk can be laid down in it."""

    def __init__(self, set_up=False):
        self.root = Path(tempfile.mkdtemp(prefix="quendrel-devkit-"))
        # A home folder name with a blank, an apostrophe and an ampersand
        # checks the scripts' quoting and the property list's escaping.
        self.home = self.root / "Sam O'Neil & co"
        self.home.mkdir()
        self.support = self.home / "Library" / "Application Support" / "Quendrel"
        self.desk = self.support / "Desk"
        self.port = free_port()
        self.services = []
        if set_up:
            try:
                self.lay_down()
                rc, out = self.script("setup.sh")
                assert rc == 0, out
            except BaseException:
                self.close()
                raise

    def env(self, **changes):
        env = {k: v for k, v in os.environ.items() if k not in (
            "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "XDG_DATA_HOME", "TARVIC_PORT")}
        env.update(HOME=str(self.home), QUENDREL_PORT=str(self.port),
                   DESK_SUPERVISOR="process", DESK_BIND="127.0.0.1",
                   XDG_CONFIG_HOME=str(self.home / ".config"), PYTHONDONTWRITEBYTECODE="1")
        env.update(changes)
        return {k: v for k, v in env.items() if v is not None}

    def lay_down(self, where=None):
        where = where or self.desk
        where.parent.mkdir(parents=True, exist_ok=True)
        shutil.copytree(PAYLOAD, where, symlinks=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
        return where

    def run(self, argv, cwd=None, **env):
        done = subprocess.run([str(a) for a in argv], cwd=str(cwd or self.desk),
                              env=self.env(**env), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        return done.returncode, done.stdout.decode("utf-8")

    def script(self, name, *args, cwd=None, **env):
        """Run a payload script as the application does: bash, full path, a command."""
        return self.run(["/bin/bash", self.desk / name, *args], cwd=cwd, **env)

    def agent(self, command, **env):
        return self.script("agent.sh", command, **env)

    def start_service(self, *args):
        """Start the stand-in service on a free port; (process, port, first code)."""
        proc = subprocess.Popen([PYTHON, str(DEVKIT / "service"), "--port", "0", *args],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd=str(self.root))
        self.services.append(proc)
        first, ready = proc.stdout.readline().decode(), proc.stdout.readline().decode()
        code = re.fullmatch(r"Pairing code: (\d{6})\n", first)
        port = re.search(r"http://127\.0\.0\.1:(\d+)", ready)
        if not code or not port:
            raise AssertionError("the service did not start: %r %r" % (first, ready))
        return proc, int(port.group(1)), code.group(1)

    def close(self):
        for proc in self.services:
            proc.kill()
            proc.wait()
            proc.stdout.close()
        if (self.desk / "agent.sh").exists():
            try:
                self.agent("stop")
            except subprocess.TimeoutExpired:
                pass
        # Whatever still runs from inside the sandbox goes too.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                cmd = Path("/proc/%s/cmdline" % pid).read_bytes().decode("utf-8", "replace")
                if int(pid) != os.getpid() and (str(self.root) in cmd or os.readlink(
                        "/proc/%s/cwd" % pid).startswith(str(self.root))):
                    os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)
