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
from devkit_support import (PAYLOAD, Sandbox, last_lines, refused, request,  # noqa: E402
                            wait_for)

MIXES = "Quendrel — your mixes"


def make(path, text="x"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, "utf-8")
    return path


class Uninstall(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)
        self.home = self.box.home
        self.app = make(self.box.root / "Applications/Quendrel.app/Contents/Info.plist") \
            .parents[1]

    def uninstall(self, *args):
        copy = self.box.root / "quendrel-uninstall-TEST.sh"
        shutil.copy(PAYLOAD / "uninstall.sh", copy)
        (self.box.root / "app-folder").mkdir(exist_ok=True)
        return self.box.run(["/bin/bash", copy, *args], cwd=self.box.root / "app-folder")

    def read(self, *parts):
        return self.home.joinpath(*parts).read_text("utf-8")

    def test_running_desk_and_earlier_places(self):
        box, home = self.box, self.home
        box.lay_down()
        self.assertEqual(box.script("setup.sh")[0], 0)
        self.assertEqual(box.agent("install")[0], 0)
        make(box.desk / "projects/Easter/order.mix", "easter")
        make(box.support / "Desk-previous/presets/old.json", "old")
        make(box.support / "Desk-unfinished/engine/desk.py")
        make(box.support / "Desk-unfinished 2/VERSION")
        make(home / "Tarvic-previous/projects/harvest.mix", "harvest")
        make(home / "Library/LaunchAgents/com.tarvicone.tarvic.plist")
        make(home / ".tarvic-update.lock")
        passphrase = (box.desk / "presets/.access").read_text("utf-8")

        rc, out = self.uninstall("--app", str(self.app))
        self.assertEqual(rc, 0, out)
        # The lines the application shows: those that start with the check mark.
        lines = [line.strip() for line in re.sub("\x1b\\[[0-9;]*m", "", out).split("\n")
                 if line.strip().startswith("✓")]
        self.assertEqual(lines[0], "✓ Stopped the console")
        self.assertIn("✓ Put your presets and projects in Desktop/" + MIXES, lines)
        self.assertIn("✓ Removed Quendrel.app from " + str(self.app.parent), lines)
        self.assertEqual(len(lines), 10, out)
        mixes = ("Desktop", MIXES)
        self.assertEqual(self.read(*mixes, "presets/.access"), passphrase)
        self.assertEqual(self.read(*mixes, "projects/Easter/order.mix"), "easter")
        self.assertEqual(self.read(*mixes, "Earlier copy (Desk-previous)/presets/old.json"), "old")
        self.assertEqual(self.read(*mixes, "Earlier copy (Tarvic-previous)/projects/harvest.mix"),
                         "harvest")
        for gone in (box.support, home / "Tarvic-previous", home / ".tarvic-update.lock",
                     self.app):
            self.assertFalse(gone.exists(), gone)
        self.assertEqual(os.listdir(home / "Library/LaunchAgents"), [])
        self.assertTrue(refused(box.port))

    def test_earlier_layout_and_a_taken_name(self):
        home = self.home
        old = self.box.lay_down(home / "Tarvic")
        make(old / "presets/.access", "acorn amber anchor\n")
        make(home / "Desktop" / MIXES / "keep.txt", "earlier")
        make(home / "Desktop" / (MIXES + " 2") / "keep.txt", "earlier too")
        make(home / "Library/LaunchAgents/com.tarvicone.tarvic.plist")

        rc, out = self.uninstall()
        self.assertEqual(rc, 0, out)
        self.assertIn("✓ Put your presets in Desktop/%s 3" % MIXES, out)
        self.assertEqual(self.read("Desktop", MIXES + " 3", "presets/.access"),
                         "acorn amber anchor\n")
        self.assertEqual(self.read("Desktop", MIXES, "keep.txt"), "earlier")
        self.assertEqual(os.listdir(home / "Desktop" / (MIXES + " 2")), ["keep.txt"])
        self.assertFalse(old.exists())
        self.assertFalse((home / "Library/LaunchAgents/com.tarvicone.tarvic.plist").exists())
        self.assertTrue(self.app.exists(), "without --app the application stays")

    def test_a_desk_that_will_not_stop_keeps_everything(self):
        box = self.box
        box.lay_down()
        song = make(box.desk / "projects/song.mix")
        with socket.socket() as other:
            other.bind(("127.0.0.1", box.port))
            other.listen()
            rc, out = self.uninstall()
        self.assertNotEqual(rc, 0)
        self.assertIn("could not be stopped, so nothing was removed", last_lines(out, 3))
        self.assertTrue(song.exists())
        self.assertFalse((self.home / "Desktop").exists())

    def test_desk_removes_itself_after_the_trash_is_emptied(self):
        box, home, app = self.box, self.home, self.app
        box.lay_down()
        make(box.desk / "data/installed-by-app", str(app) + "\n")
        make(box.desk / "projects/advent.mix", "advent")
        rc, out = box.agent("install", DESK_WATCH_SECONDS="0.2")
        self.assertEqual(rc, 0, out)

        # Deleted some other way: the desk stays.
        aside = box.root / "elsewhere.app"
        app.rename(aside)
        time.sleep(1.5)
        self.assertEqual(request(box.port, "/relay-info")[0], 200)
        aside.rename(app)

        trash = home / ".local/share/Trash"
        make(trash / "info/Quendrel.app.trashinfo",
             "[Trash Info]\nPath=%s\nDeletionDate=2025-01-01T10:00:00\n"
             % urllib.parse.quote(str(app)))
        (trash / "files").mkdir()
        app.rename(trash / "files/Quendrel.app")
        log = box.desk / "logs/desk.log"
        self.assertTrue(wait_for(lambda: "in the Trash" in log.read_text("utf-8"), 20))
        shutil.rmtree(trash)

        plist = home / "Library/LaunchAgents/com.quendrel.desk.plist"
        self.assertTrue(wait_for(lambda: not box.desk.exists() and not plist.exists(), 30))
        self.assertEqual(self.read(MIXES, "projects/advent.mix"), "advent")
        self.assertTrue((home / MIXES / "presets/.access").exists())
        self.assertFalse((home / "Desktop").exists())
        self.assertTrue(refused(box.port))


if __name__ == "__main__":
    unittest.main()
