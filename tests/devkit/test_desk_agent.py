"""The desk's setup.sh, agent.sh and console, driven as the application drives them."""

import json
import os
import re
import socket
import stat
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devkit_support import (PYTHON, Sandbox, free_port, last_lines, raw,  # noqa: E402
                            request, wait_for)


def login(port, passphrase):
    body = urllib.parse.urlencode({"passphrase": passphrase})
    status, headers, _ = request(port, "/login", "POST", body,
                                 {"Content-Type": "application/x-www-form-urlencoded"})
    cookie = headers.get("Set-Cookie", "").split(";")[0]
    return status, cookie


class DeskLifecycle(unittest.TestCase):
    """One desk, installed once; the cases run in the order they are written."""

    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        try:
            cls.box.lay_down()
            cls.setup_rc, cls.setup_out = cls.box.script("setup.sh")
        except BaseException:
            cls.box.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def running(self):
        try:
            return request(self.box.port, "/relay-info", timeout=2)[0] == 200
        except OSError:
            return False

    def test_lifecycle(self):
        box, port = self.box, self.box.port
        with self.subTest("setup.sh makes a working .venv with the engine"):
            self.assertEqual(self.setup_rc, 0, self.setup_out)
            rc, out = box.run([box.desk / ".venv/bin/python", "-c", "import engine.uplink"],
                              cwd=box.root)
            self.assertEqual(rc, 0, out)
            rc, out = box.script("setup.sh")
            self.assertEqual(rc, 0, out)
            self.assertIn("Keeping the desk's Python environment", out)

        with self.subTest("install writes the property list and starts the desk"):
            rc, out = box.agent("install")
            self.assertEqual(rc, 0, out)
            plist = box.home / "Library/LaunchAgents/com.quendrel.desk.plist"
            text = plist.read_text("utf-8")
            self.assertIn("<string>com.quendrel.desk</string>", text)
            self.assertIn("Sam O'Neil &amp; co/Library/Application Support", text)
            status, _, body = request(port, "/relay-info")
            self.assertEqual(status, 200)
            self.assertEqual(json.loads(body)["version"], "1.4.2")
            self.assertEqual(request(port, "/in-use")[2], b'{"in_use": false}')
            access = box.desk / "presets/.access"
            self.assertEqual(stat.S_IMODE(access.stat().st_mode), 0o600)
            self.assertRegex(access.read_text("utf-8").strip(), r"^[a-z]+ [a-z]+ [a-z]+$")
            pid = (box.desk / "data/desk.pid").read_text().strip()
            self.assertTrue(os.path.exists("/proc/" + pid))

        with self.subTest("the console wants the passphrase"):
            status, _, page = request(port, "/")
            self.assertEqual(status, 200)
            self.assertIn(b'name="passphrase"', page)
            self.assertEqual(request(port, "/api/mix")[0], 401)
            self.assertEqual(login(port, "wrong words here")[0], 403)
            self.assertEqual(json.loads(request(port, "/in-use")[2]), {"in_use": False})

        with self.subTest("a signed-in console makes the desk in use"):
            words = (box.desk / "presets/.access").read_text("utf-8")
            status, cookie = login(port, "  " + words.upper() + " ")
            self.assertEqual(status, 303)
            status, _, body = request(port, "/api/mix", "POST",
                                      json.dumps({"channel": 1, "level": 42}),
                                      {"Cookie": cookie, "Content-Type": "application/json"})
            self.assertEqual(status, 200, body)
            self.assertEqual(json.loads(body)["channels"][1]["level"], 42)
            answer = json.loads(request(port, "/in-use")[2])
            self.assertEqual(answer, {"in_use": True,
                                      "why": "1 person is moving faders on the console"})
            bad = request(port, "/api/mix", "POST", '{"channel": 1, "level": 101}',
                          {"Cookie": cookie})
            self.assertEqual(bad[0], 400)
            self.assertIn(b"0 to 100", bad[2])

        with self.subTest("hostile requests get a 4xx and the desk goes on"):
            self.assertRegex(raw(port, b"NONSENSE\r\n\r\n"), rb"^HTTP/1\.[01] 400 ")
            self.assertRegex(raw(port, b"BREW / HTTP/1.1\r\nHost: x\r\n\r\n"),
                             rb"^HTTP/1\.1 405 ")
            big = (b"POST /api/mix HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
                   % (10 << 20)) + b"x" * (10 << 20)
            answer = raw(port, big)
            self.assertRegex(answer, rb"^HTTP/1\.1 413 ")
            self.assertIn(b"too much", answer)
            self.assertRegex(raw(port, b"POST /login HTTP/1.1\r\nContent-Length: nine\r\n\r\n"),
                             rb"^HTTP/1\.1 400 ")
            self.assertEqual(request(port, "/relay-info")[0], 200)

        with self.subTest("the keeper starts a desk that died; start meanwhile waits for it"):
            keeper = (box.desk / "data/desk.pid").read_text().strip()
            before = self.desk_pid()
            os.kill(before, 9)
            rc, out = box.agent("start")
            self.assertEqual(rc, 0, out)
            self.assertTrue(wait_for(lambda: self.desk_pid() not in (None, before)
                                     and self.running(), 20))
            self.assertEqual((box.desk / "data/desk.pid").read_text().strip(), keeper)

        with self.subTest("start on a running desk says so and succeeds"):
            rc, out = box.agent("start")
            self.assertEqual(rc, 0, out)
            self.assertIn("already running", out)

        with self.subTest("stop ends it and nothing answers"):
            rc, out = box.agent("stop")
            self.assertEqual(rc, 0, out)
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", port), timeout=2).close()
            self.assertIsNone(self.desk_pid())
            rc, out = box.agent("stop")
            self.assertEqual(rc, 0, out)

        with self.subTest("set-passphrase makes a different three-word one"):
            access = box.desk / "presets/.access"
            old = access.read_text("utf-8")
            rc, out = box.agent("set-passphrase")
            self.assertEqual(rc, 0, out)
            new = access.read_text("utf-8").strip()
            self.assertNotEqual(new, old.strip())
            self.assertRegex(new, r"^[a-z]+ [a-z]+ [a-z]+$")
            self.assertEqual(stat.S_IMODE(access.stat().st_mode), 0o600)

        with self.subTest("restart brings it back with the new passphrase"):
            rc, out = box.agent("restart")
            self.assertEqual(rc, 0, out)
            self.assertTrue(self.running())
            self.assertEqual(login(port, old)[0], 403)
            self.assertEqual(login(port, new)[0], 303)
            rc, out = box.agent("stop")
            self.assertEqual(rc, 0, out)

    def desk_pid(self):
        """The pid of the desk's Python process, if one runs."""
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    args = f.read().decode("utf-8", "replace").split("\0")
                if args[1:4] == ["-m", "engine.desk", "serve"] and \
                        os.readlink("/proc/%s/cwd" % entry) == str(self.box.desk):
                    return int(entry)
            except (OSError, ValueError):
                continue
        return None


class AgentRefusals(unittest.TestCase):
    """Failures end in a plain last line and a non-zero status."""

    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        try:
            cls.box.lay_down()
            rc, out = cls.box.script("setup.sh")
            assert rc == 0, out
        except BaseException:
            cls.box.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def test_port_taken_by_another_program(self):
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen()
            rc, out = self.box.agent("start", QUENDREL_PORT=str(other.getsockname()[1]))
            self.assertNotEqual(rc, 0)
            self.assertIn("in use by another program", last_lines(out)[-1])
            rc, out = self.box.agent("stop", QUENDREL_PORT=str(other.getsockname()[1]))
            self.assertNotEqual(rc, 0)
            self.assertIn("did not stop", last_lines(out)[-1])

    def test_unusable_port_and_unknown_command(self):
        rc, out = self.box.agent("start", QUENDREL_PORT="70000")
        self.assertNotEqual(rc, 0)
        self.assertIn("a port must be a number from 1 to 65535", last_lines(out)[-1])
        rc, out = self.box.agent("dance")
        self.assertEqual(rc, 1)
        self.assertIn("is not something the desk's agent can do", last_lines(out)[-1])

    def test_setup_repairs_a_broken_venv(self):
        venv = self.box.desk / ".venv"
        (venv / "bin/python").unlink()
        rc, out = self.box.script("setup.sh")
        self.assertEqual(rc, 0, out)
        self.assertIn("making it again", out)
        rc, out = self.box.run([venv / "bin/python", "-c", "import engine.desk"],
                               cwd=self.box.root)
        self.assertEqual(rc, 0, out)

    def test_port_rule(self):
        cases = [({"QUENDREL_PORT": "81"}, "81"), ({"QUENDREL_PORT": "+81"}, "81"),
                 ({"QUENDREL_PORT": " 81"}, "8080"), ({"QUENDREL_PORT": "8a1"}, "8080"),
                 ({"QUENDREL_PORT": ""}, "8080"), ({"QUENDREL_PORT": "٨١"}, "8080"),
                 ({"QUENDREL_PORT": "abc", "TARVIC_PORT": "82"}, "8080"),
                 ({"QUENDREL_PORT": None, "TARVIC_PORT": "82"}, "82"),
                 ({"QUENDREL_PORT": None}, "8080")]
        for env, expected in cases:
            with self.subTest(env=env):
                rc, out = self.box.run([PYTHON, "-m", "engine.desk", "port"], **env)
                self.assertEqual((rc, out.strip()), (0, expected))
        rc, out = self.box.run([PYTHON, "-m", "engine.desk", "port"], QUENDREL_PORT="-1")
        self.assertEqual(rc, 3)
        self.assertIn("port -1", out)


if __name__ == "__main__":
    unittest.main()
