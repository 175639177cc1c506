"""The desk's setup.sh, agent.sh and console, driven as the application drives them, and the
demo helper that lays a desk down by hand."""

import json
import os
import re
import socket
import stat
import subprocess
import sys
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devkit_support import (DEVKIT, PAYLOAD, PYTHON, Sandbox, free_port,  # noqa: E402
                            last_lines, raw, refused, request, wait_for)

THREE_WORDS = r"^[a-z]+ [a-z]+ [a-z]+$"


def login(port, passphrase):
    body = urllib.parse.urlencode({"passphrase": passphrase})
    status, headers, _ = request(port, "/login", "POST", body,
                                 {"Content-Type": "application/x-www-form-urlencoded"})
    return status, headers.get("Set-Cookie", "").split(";")[0]


class DeskLifecycle(unittest.TestCase):
    """One desk, installed once; the steps run in the order they are written."""

    def running(self):
        try:
            return request(self.box.port, "/relay-info", timeout=2)[0] == 200
        except OSError:
            return False

    def desk_pid(self):
        """The pid of the desk's Python process, if one runs."""
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                args = Path("/proc/%s/cmdline" % entry).read_bytes().decode().split("\0")
                if args[1:4] == ["-m", "engine.desk", "serve"] and \
                        os.readlink("/proc/%s/cwd" % entry) == str(self.box.desk):
                    return int(entry)
            except OSError:
                continue
        return None

    def test_lifecycle(self):
        # A script's end may never run here, yet must parse.
        for script in ["setup.sh", "agent.sh", "uninstall.sh", "../lay-down-by-hand"]:
            done = subprocess.run(["/bin/bash", "-n", PAYLOAD / script], capture_output=True)
            self.assertEqual(done.returncode, 0, done.stderr)
        # The application shows the version's first blank-separated word as it stands.
        self.assertRegex((PAYLOAD / "VERSION").read_text("utf-8").split(" ")[0],
                         r"^\d+\.\d+\.\d+$")
        box = self.box = Sandbox(set_up=True)
        self.addCleanup(box.close)
        port, access = box.port, box.desk / "presets/.access"
        with self.subTest("setup.sh makes a working .venv, keeps it and repairs it"):
            rc, out = box.run([box.desk / ".venv/bin/python", "-c", "import engine.uplink"],
                              cwd=box.root)
            self.assertEqual(rc, 0, out)
            self.assertIn("Keeping the desk's Python environment", box.script("setup.sh")[1])
            (box.desk / ".venv/bin/python").unlink()
            rc, out = box.script("setup.sh")
            self.assertEqual(rc, 0, out)
            self.assertIn("making it again", out)

        with self.subTest("install writes the property list and starts the desk"):
            rc, out = box.agent("install")
            self.assertEqual(rc, 0, out)
            plist = box.home / "Library/LaunchAgents/com.quendrel.desk.plist"
            text = plist.read_text("utf-8")
            self.assertIn("<string>com.quendrel.desk</string>", text)
            self.assertIn("Sam O'Neil &amp; co/Library/Application Support", text)
            self.assertEqual(json.loads(request(port, "/relay-info")[2])["version"], "1.4.2")
            self.assertEqual(stat.S_IMODE(access.stat().st_mode), 0o600)
            self.assertRegex(access.read_text("utf-8").strip(), THREE_WORDS)

        with self.subTest("the console wants the passphrase; signed in, the desk is in use"):
            self.assertIn(b'name="passphrase"', request(port, "/")[2])
            self.assertEqual(request(port, "/api/mix")[0], 401)
            self.assertEqual(login(port, "wrong words here")[0], 403)
            self.assertEqual(request(port, "/in-use")[2], b'{"in_use": false}')
            status, cookie = login(port, "  " + access.read_text("utf-8").upper() + " ")
            self.assertEqual(status, 303)
            mix = {"Cookie": cookie, "Content-Type": "application/json"}
            status, _, body = request(port, "/api/mix", "POST",
                                      json.dumps({"channel": 1, "level": 42}), mix)
            self.assertEqual(json.loads(body)["channels"][1]["level"], 42)
            self.assertEqual(json.loads(request(port, "/in-use")[2]),
                             {"in_use": True, "why": "1 person is moving faders on the console"})
            bad = request(port, "/api/mix", "POST", '{"channel": 1, "level": 101}', mix)
            self.assertEqual(bad[0], 400)
            self.assertIn(b"0 to 100", bad[2])

        with self.subTest("hostile requests get a 4xx and the desk goes on"):
            big = (b"POST /api/mix HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
                   % (10 << 20)) + b"x" * (10 << 20)
            for data, answer in [(b"NONSENSE\r\n\r\n", rb"^HTTP/1\.[01] 400 "),
                                 (b"BREW / HTTP/1.1\r\nHost: x\r\n\r\n", rb"^HTTP/1\.1 405 "),
                                 (big, rb"^HTTP/1\.1 413 .*too much"),
                                 (b"POST /login HTTP/1.1\r\nContent-Length: nine\r\n\r\n",
                                  rb"^HTTP/1\.1 400 ")]:
                self.assertRegex(raw(port, data), re.compile(answer, re.S))
            self.assertTrue(self.running())

        with self.subTest("the keeper starts a desk that died; start meanwhile waits for it"):
            keeper = (box.desk / "data/desk.pid").read_text()
            before = self.desk_pid()
            os.kill(before, 9)
            self.assertEqual(box.agent("start")[0], 0)
            self.assertTrue(wait_for(lambda: self.desk_pid() not in (None, before)
                                     and self.running(), 20))
            self.assertEqual((box.desk / "data/desk.pid").read_text(), keeper)
            rc, out = box.agent("start")
            self.assertEqual(rc, 0, out)
            self.assertIn("already running", out)

        with self.subTest("stop ends it, twice; set-passphrase makes another; restart uses it"):
            self.assertEqual(box.agent("stop")[0], 0)
            self.assertTrue(refused(port))
            self.assertIsNone(self.desk_pid())
            self.assertEqual(box.agent("stop")[0], 0)
            old = access.read_text("utf-8")
            self.assertEqual(box.agent("set-passphrase")[0], 0)
            new = access.read_text("utf-8").strip()
            self.assertNotEqual(new, old.strip())
            self.assertRegex(new, THREE_WORDS)
            self.assertEqual(stat.S_IMODE(access.stat().st_mode), 0o600)
            self.assertEqual(box.agent("restart")[0], 0)
            self.assertEqual(login(port, old)[0], 403)
            self.assertEqual(login(port, new)[0], 303)


class AgentRefusals(unittest.TestCase):
    """Failures end in a plain last line and a non-zero status."""

    def test_refusals_and_the_port_rule(self):
        box = Sandbox(set_up=True)
        self.addCleanup(box.close)
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen()
            taken = str(other.getsockname()[1])
            for command, env, said in [
                    ("start", {"QUENDREL_PORT": taken}, "in use by another program"),
                    ("stop", {"QUENDREL_PORT": taken}, "did not stop"),
                    ("start", {"QUENDREL_PORT": "70000"},
                     "a port must be a number from 1 to 65535"),
                    ("dance", {}, "is not something the desk's agent can do")]:
                rc, out = box.agent(command, **env)
                self.assertNotEqual(rc, 0)
                self.assertIn(said, last_lines(out))
        for env, expected in [({"QUENDREL_PORT": "81"}, "81"), ({"QUENDREL_PORT": "+81"}, "81"),
                              ({"QUENDREL_PORT": " 81"}, "8080"),
                              ({"QUENDREL_PORT": "8a1"}, "8080"),
                              ({"QUENDREL_PORT": ""}, "8080"), ({"QUENDREL_PORT": "٨١"}, "8080"),
                              ({"QUENDREL_PORT": "abc", "TARVIC_PORT": "82"}, "8080"),
                              ({"QUENDREL_PORT": None, "TARVIC_PORT": "82"}, "82"),
                              ({"QUENDREL_PORT": None}, "8080")]:
            with self.subTest(env=env):
                rc, out = box.run([PYTHON, "-m", "engine.desk", "port"], **env)
                self.assertEqual((rc, out.strip()), (0, expected))
        rc, out = box.run([PYTHON, "-m", "engine.desk", "port"], QUENDREL_PORT="-1")
        self.assertEqual(rc, 3)
        self.assertIn("port -1", out)


class LayDownByHand(unittest.TestCase):
    def test_service_and_desk_in_one_command(self):
        box = Sandbox()
        self.addCleanup(box.close)
        service_port, home = free_port(), box.root / "demo home"
        rc, out = box.run([DEVKIT / "lay-down-by-hand", home, service_port, "246810", box.port],
                          cwd=box.root, HOME=None)
        self.assertEqual(rc, 0, out)
        self.assertIn("The console: http://localhost:%d" % box.port, out)
        desk = home / "Library/Application Support/Quendrel/Desk"
        self.assertEqual(json.loads((desk / "presets/.uplink").read_text())["terms"],
                         "2025-04")
        self.assertTrue((home / "Library/LaunchAgents/com.quendrel.desk.plist").is_file())
        self.assertEqual(request(box.port, "/relay-info")[0], 200)
        self.assertEqual(request(service_port, "/terms")[0], 200)
        rc, out = box.run(["/bin/bash", desk / "agent.sh", "stop"], cwd=desk, HOME=str(home))
        self.assertEqual(rc, 0, out)


if __name__ == "__main__":
    unittest.main()
