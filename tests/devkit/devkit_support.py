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
SERVICE = DEVKIT / "service"
PYTHON = "/usr/bin/python3"

PAIRING_SCRIPT = """import asyncio, sys
from engine.uplink import pair
r = asyncio.run(pair('ADDRESS',
                     sys.argv[1], 'presets/.uplink', sys.argv[2]))
print(r['message'])
sys.exit(0 if r['ok'] else 1)"""

NOT_ACCEPTED = ("That code was not accepted. Codes last an hour and work once "
                "— ask for another.")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def last_lines(text, count=3):
    lines = [line for line in text.split("\n") if line.strip()]
    return lines[-count:]


def request(port, path, method="GET", body=None, headers=None, timeout=5):
    """(status, headers, body) of one HTTP request to 127.0.0.1."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        answer = conn.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()
    finally:
        conn.close()


def raw(port, data, timeout=5):
    """Send bytes as they are and return whatever comes back before the close."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except OSError:
            pass
        chunks = []
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except (socket.timeout, ConnectionResetError):
            pass
        return b"".join(chunks)


def wait_for(check, seconds=15.0, step=0.1):
    """Poll `check` until it is true or the time is up; its last value."""
    deadline = time.monotonic() + seconds
    value = check()
    while not value and time.monotonic() < deadline:
        time.sleep(step)
        value = check()
    return value


class Sandbox:
    """A temporary home folder; the desk can be laid down in it."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="quendrel-devkit-"))
        # A home folder name with a blank, an apostrophe and an ampersand
        # checks the scripts' quoting and the property list's escaping.
        self.home = self.root / "Sam O'Neil & co"
        self.home.mkdir()
        self.support = self.home / "Library" / "Application Support" / "Quendrel"
        self.desk = self.support / "Desk"
        self.port = free_port()
        self.services = []

    def env(self, **changes):
        env = dict(os.environ)
        for name in ("XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "XDG_DATA_HOME", "TARVIC_PORT",
                     "QUENDREL_PORT", "DESK_SUPERVISOR", "DESK_BIND"):
            env.pop(name, None)
        env.update(HOME=str(self.home), QUENDREL_PORT=str(self.port),
                   DESK_SUPERVISOR="process", DESK_BIND="127.0.0.1",
                   XDG_CONFIG_HOME=str(self.home / ".config"),
                   PYTHONDONTWRITEBYTECODE="1")
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def lay_down(self, where=None):
        where = where or self.desk
        where.parent.mkdir(parents=True, exist_ok=True)
        shutil.copytree(PAYLOAD, where, symlinks=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
        return where

    def run(self, argv, cwd=None, timeout=120, **env):
        done = subprocess.run([str(a) for a in argv], cwd=str(cwd or self.desk),
                              env=self.env(**env), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout)
        return done.returncode, done.stdout.decode("utf-8")

    def script(self, name, *args, cwd=None, **env):
        """Run a payload script as the application does: bash, full path, a command."""
        return self.run(["/bin/bash", self.desk / name, *args], cwd=cwd, **env)

    def agent(self, command, **env):
        return self.script("agent.sh", command, **env)

    def pair(self, address, code, terms="2025-04"):
        source = PAIRING_SCRIPT.replace("ADDRESS", address)
        return self.run([self.desk / ".venv" / "bin" / "python", "-c", source, code, terms])

    def start_service(self, *args):
        """Start the stand-in service on a free port; (process, port, first code)."""
        proc = subprocess.Popen([PYTHON, str(SERVICE), "--port", "0", *args],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd=str(self.root))
        self.services.append(proc)
        first = proc.stdout.readline().decode("utf-8")
        ready = proc.stdout.readline().decode("utf-8")
        code = re.fullmatch(r"Pairing code: (\d{6})\n", first)
        port = re.search(r"http://127\.0\.0\.1:(\d+)", ready)
        if not code or not port:
            raise AssertionError("the service did not start: %r %r" % (first, ready))
        return proc, int(port.group(1)), code.group(1)

    def close(self):
        for proc in self.services:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            proc.stdout.close()
        if (self.desk / "agent.sh").exists():
            try:
                self.agent("stop")
            except subprocess.TimeoutExpired:
                pass
        self.reap()
        shutil.rmtree(self.root, ignore_errors=True)

    def reap(self):
        """Kill whatever still runs from inside the sandbox."""
        inside = str(self.root)
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                cwd = os.readlink("/proc/%s/cwd" % entry)
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmd = f.read().decode("utf-8", "replace")
            except OSError:
                continue
            if cwd.startswith(inside) or inside in cmd:
                try:
                    os.kill(int(entry), signal.SIGKILL)
                except OSError:
                    pass
