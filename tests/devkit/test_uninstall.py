"""uninstall.sh, run from a temporary copy the way the application runs it."""

import os
import re
import shutil
import socket
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devkit_support import PAYLOAD, Sandbox, last_lines, request, wait_for  # noqa: E402

MIXES = "Quendrel — your mixes"


def summary(out):
    """The lines the application shows: those that start with the check mark."""
    plain = re.sub("\x1b\\[[0-9;]*m", "", out)
    return [line.strip() for line in plain.split("\n") if line.strip().startswith("✓")]


class Uninstall(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.cwd = self.box.root / "app-folder"
        self.cwd.mkdir()

    def uninstall(self, *args):
        copy = self.box.root / "quendrel-uninstall-TEST.sh"
        shutil.copy(PAYLOAD / "uninstall.sh", copy)
        return self.box.run(["/bin/bash", copy, *args], cwd=self.cwd)

    def make(self, path, text="x"):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, "utf-8")

    def test_running_desk_and_earlier_places(self):
        box, home = self.box, self.box.home
        box.lay_down()
        self.assertEqual(box.script("setup.sh")[0], 0)
        self.assertEqual(box.agent("install")[0], 0)
        self.make(box.desk / "projects/Easter/order.mix", "easter")
        self.make(box.support / "Desk-previous/presets/old.json", "old")
        self.make(box.support / "Desk-unfinished/engine/desk.py")
        self.make(box.support / "Desk-unfinished 2/VERSION")
        self.make(home / "Tarvic-previous/projects/harvest.mix", "harvest")
        self.make(home / "Library/LaunchAgents/com.tarvicone.tarvic.plist")
        self.make(home / ".tarvic-update.lock")
        app = box.root / "Applications/Quendrel.app"
        self.make(app / "Contents/Info.plist")
        passphrase = (box.desk / "presets/.access").read_text("utf-8")

        rc, out = self.uninstall("--app", str(app))
        self.assertEqual(rc, 0, out)
        lines = summary(out)
        self.assertEqual(lines[0], "✓ Stopped the console")
        self.assertIn("✓ Put your presets and projects in Desktop/" + MIXES, lines)
        self.assertIn("✓ Removed Quendrel.app from " + str(app.parent), lines)
        self.assertEqual(len(lines), 10, out)

        mixes = home / "Desktop" / MIXES
        self.assertEqual((mixes / "presets/.access").read_text("utf-8"), passphrase)
        self.assertEqual((mixes / "projects/Easter/order.mix").read_text("utf-8"), "easter")
        self.assertEqual((mixes / "Earlier copy (Desk-previous)/presets/old.json")
                         .read_text("utf-8"), "old")
        self.assertEqual((mixes / "Earlier copy (Tarvic-previous)/projects/harvest.mix")
                         .read_text("utf-8"), "harvest")
        self.assertFalse(box.support.exists())
        self.assertFalse((home / "Tarvic-previous").exists())
        self.assertEqual(os.listdir(home / "Library/LaunchAgents"), [])
        self.assertFalse((home / ".tarvic-update.lock").exists())
        self.assertFalse(app.exists())
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", box.port), timeout=2).close()

    def test_earlier_layout_and_a_taken_name(self):
        box, home = self.box, self.box.home
        old = home / "Tarvic"
        box.lay_down(old)
        self.make(old / "presets/.access", "acorn amber anchor\n")
        self.make(home / "Desktop" / MIXES / "keep.txt", "earlier")
        self.make(home / "Desktop" / (MIXES + " 2") / "keep.txt", "earlier too")
        self.make(home / "Library/LaunchAgents/com.tarvicone.tarvic.plist")
        app = box.root / "Applications/Quendrel.app"
        self.make(app / "Contents/Info.plist")

        rc, out = self.uninstall()
        self.assertEqual(rc, 0, out)
        self.assertIn("✓ Put your presets in Desktop/%s 3" % MIXES, summary(out))
        self.assertEqual((home / "Desktop" / (MIXES + " 3") / "presets/.access")
                         .read_text("utf-8"), "acorn amber anchor\n")
        self.assertEqual((home / "Desktop" / MIXES / "keep.txt").read_text("utf-8"), "earlier")
        self.assertEqual(sorted(os.listdir(home / "Desktop" / (MIXES + " 2"))), ["keep.txt"])
        self.assertFalse(old.exists())
        self.assertFalse((home / "Library/LaunchAgents/com.tarvicone.tarvic.plist").exists())
        self.assertTrue(app.exists(), "without --app the application stays")

    def test_a_desk_that_will_not_stop_keeps_everything(self):
        box = self.box
        box.lay_down()
        self.make(box.desk / "projects/song.mix")
        with socket.socket() as other:
            other.bind(("127.0.0.1", box.port))
            other.listen()
            rc, out = self.uninstall()
        self.assertNotEqual(rc, 0)
        self.assertIn("could not be stopped, so nothing was removed", "\n".join(last_lines(out)))
        self.assertTrue((box.desk / "projects/song.mix").exists())
        self.assertFalse((box.home / "Desktop").exists())


    def test_desk_removes_itself_after_the_trash_is_emptied(self):
        box, home = self.box, self.box.home
        box.lay_down()
        app = box.root / "Applications/Quendrel.app"
        self.make(app / "Contents/Info.plist")
        self.make(box.desk / "data/installed-by-app", str(app) + "\n")
        self.make(box.desk / "projects/advent.mix", "advent")
        rc, out = box.agent("install", DESK_WATCH_SECONDS="0.2")
        self.assertEqual(rc, 0, out)
        log = box.desk / "logs/desk.log"

        # Deleted some other way: the desk stays.
        aside = box.root / "elsewhere.app"
        app.rename(aside)
        time.sleep(1.5)
        self.assertEqual(request(box.port, "/relay-info")[0], 200)
        aside.rename(app)

        trash = home / ".local/share/Trash"
        (trash / "files").mkdir(parents=True)
        self.make(trash / "info/Quendrel.app.trashinfo",
                  "[Trash Info]\nPath=%s\nDeletionDate=2025-01-01T10:00:00\n"
                  % urllib.parse.quote(str(app)))
        app.rename(trash / "files/Quendrel.app")
        self.assertTrue(wait_for(lambda: "in the Trash" in log.read_text("utf-8"), 20))
        shutil.rmtree(trash)

        mixes = home / MIXES
        plist = home / "Library/LaunchAgents/com.quendrel.desk.plist"
        self.assertTrue(wait_for(lambda: not box.desk.exists() and not plist.exists(), 30))
        self.assertEqual((mixes / "projects/advent.mix").read_text("utf-8"), "advent")
        self.assertTrue((mixes / "presets/.access").exists())
        self.assertFalse((home / "Desktop").exists())
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", box.port), timeout=2).close()


if __name__ == "__main__":
    unittest.main()
