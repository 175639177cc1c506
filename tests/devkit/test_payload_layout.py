"""The payload's files, the scripts' syntax, and the demo helper end to end."""

import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devkit_support import DEVKIT, PAYLOAD, Sandbox, free_port, request  # noqa: E402

SCRIPTS = [PAYLOAD / "setup.sh", PAYLOAD / "agent.sh", PAYLOAD / "uninstall.sh",
           DEVKIT / "lay-down-by-hand"]


class Layout(unittest.TestCase):
    def test_scripts_parse(self):
        for script in SCRIPTS:
            with self.subTest(script=script.name):
                done = subprocess.run(["/bin/bash", "-n", str(script)],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                self.assertEqual(done.returncode, 0, done.stdout.decode())
                self.assertTrue(os.access(script, os.X_OK))

    def test_files_the_application_reads(self):
        # The application shows the first blank-separated word as it stands, so nothing
        # else (a line break) may cling to it.
        version = (PAYLOAD / "VERSION").read_text("utf-8").split(" ")[0]
        self.assertRegex(version, r"^\d+\.\d+\.\d+$")
        for name in ("engine/uplink.py", "engine/desk.py", "ui/terms.html",
                     "ui/console.html", "ui/login.html"):
            self.assertTrue((PAYLOAD / name).is_file(), name)


class LayDownByHand(unittest.TestCase):
    def test_service_and_desk_in_one_command(self):
        box = Sandbox()
        self.addCleanup(box.close)
        service_port = free_port()
        home = box.root / "demo home"
        done = subprocess.run([str(DEVKIT / "lay-down-by-hand"), str(home), str(service_port),
                               "246810", str(box.port)],
                              cwd=str(box.root), env=box.env(HOME=None),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=120)
        out = done.stdout.decode()
        self.assertEqual(done.returncode, 0, out)
        self.assertIn("The console: http://localhost:%d" % box.port, out)
        desk = home / "Library/Application Support/Quendrel/Desk"
        self.assertEqual(json.loads((desk / "presets/.uplink").read_text())["terms"], "2025-04")
        self.assertTrue((home / "Library/LaunchAgents/com.quendrel.desk.plist").is_file())
        self.assertEqual(request(box.port, "/relay-info")[0], 200)
        self.assertEqual(request(service_port, "/terms")[0], 200)
        stop = subprocess.run(["/bin/bash", str(desk / "agent.sh"), "stop"], cwd=str(desk),
                              env=box.env(HOME=str(home)), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual(stop.returncode, 0, stop.stdout.decode())


if __name__ == "__main__":
    unittest.main()
