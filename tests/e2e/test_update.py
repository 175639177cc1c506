#!/usr/bin/env python3
"""Updating the real bundle from the stand-in service, under Xvfb with a system tray.

Version N runs from the home folder's Applications folder; N+1 is published with
quendrel-release to a folder that devkit/service serves. `quendrelctl update` prints the update
line as the menu shows it. Then the update line is chosen in the tray menu with xdotool: the
bundle is swapped, N+1 starts as a new instance and N quits once N+1 has said it is up.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_update.py
"""
import contextlib
import os
import plistlib
import shutil
import subprocess
import time
import unittest
from pathlib import Path

from desktop import BUILD_ROOT, BUNDLE, SOURCE_ROOT, Desktop, free_port, wait_for

CODESIGN = BUILD_ROOT / "quendrel-codesign"
OLD, NEW = "5.0", "5.1"


def mounts_below(folder):
    inside = str(Path(folder).resolve())
    with open("/proc/self/mounts") as table:
        points = [line.split()[1].replace("\\040", " ") for line in table]
    return [p for p in points if p == inside or p.startswith(inside + "/")]


def running(executable):
    """Process ids whose program is the file now at `executable` (zombies have none)."""
    pids = []
    for entry in Path("/proc").glob("[0-9]*"):
        with contextlib.suppress(OSError):
            if os.readlink(entry / "exe") == os.path.realpath(executable):
                pids.append(int(entry.name))
    return pids


def version(app, **changes):
    """The bundle's version, after the changes (when there are some) are written to it."""
    info = app / "Contents/Info.plist"
    plist = plistlib.loads(info.read_bytes()) | changes
    if changes:
        info.write_bytes(plistlib.dumps(plist))
    return plist["CFBundleShortVersionString"]


class Update(Desktop):
    def tool(self, *argv):
        done = subprocess.run([str(a) for a in argv], env=self.env, capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, 0, f"{argv}: {done.stdout}{done.stderr}")
        return done.stdout

    def test_the_menu_relaunches_into_the_published_version(self):
        self.addCleanup(lambda: [subprocess.run(["fusermount3", "-u", "-z", point])
                                 for point in reversed(mounts_below(self.temp))])
        key, releases, port = self.temp / "release.key", self.temp / "releases", free_port()
        self.tool(CODESIGN, "keygen", key)
        _, log = self.spawn([SOURCE_ROOT / "devkit/service", "--port", port, "--releases",
                             releases])
        self.assertTrue(wait_for(lambda: "Ready on" in log.read_text(errors="replace"), 30),
                        "the stand-in service did not start")
        service = f"http://127.0.0.1:{port}"

        # Version N, installed and signed; version N+1 published with one command.
        version(self.app, CFBundleShortVersionString=OLD, QuendrelService=service)
        self.tool(CODESIGN, "sign", self.app, "--key", key)
        upcoming = self.temp / "build-next/Quendrel.app"
        shutil.copytree(BUNDLE, upcoming, symlinks=True)
        version(upcoming, CFBundleShortVersionString=NEW, QuendrelService=service)
        self.tool(BUILD_ROOT / "quendrel-release", upcoming, "--key", key, "--out", releases)

        # What the update line goes through, as quendrelctl prints it. It only stages.
        staging = self.home / "Library/Application Support/Quendrel/Update"
        printed = self.tool(self.app / "Contents/MacOS/quendrelctl", "update").splitlines()
        self.assertEqual((printed, mounts_below(self.temp), version(self.app)),
                         ([f"Getting Quendrel {NEW}…", f"Relaunch to finish updating to {NEW}"],
                          [], OLD))
        shutil.rmtree(staging)
        # The running copy fetches N+1 by itself: staged, and its image detached again.
        tray, old = self.start_in_tray()
        staged = staging / "Quendrel.app"
        fetched = wait_for(lambda: staged.is_dir() and not mounts_below(staging), 120)
        self.assertTrue(fetched, "the running Quendrel did not stage the new version")

        def choose_update_line():
            # Left-clicking the knob opens the menu at the pointer. From the bottom, Up goes
            # over Quit, Uninstall, Restart, Change and Show the passphrase to the update line.
            self.x("xdotool", "mousemove", "--window", tray, self.width(tray) - 12, "12",
                   "click", "1")
            time.sleep(1)
            self.x("xdotool", "key", "--delay", "150", *(["Up"] * 6), "Return")
            return wait_for(lambda: old.poll() is not None, 30)

        relaunched = wait_for(choose_update_line, 90)
        self.screenshot(tray, "update-tray.png")
        self.assertTrue(relaunched, "choosing the update line did not end the running version")
        self.assertEqual((old.returncode, version(self.app)), (0, NEW))

        # N+1 runs from the same place, as a new instance; N's bundle is gone.
        new = wait_for(lambda: running(self.executable), 30)
        self.assertTrue(new, "the new version is not running")
        for pid in new:
            self.addCleanup(os.kill, pid, 9)
        self.assertNotIn(old.pid, new)
        self.assertEqual([p.name for p in self.app.parent.iterdir()], ["Quendrel.app"])
        self.assertFalse(staged.exists(), "the staged copy went into place")
        self.tool(CODESIGN, "verify", self.app)


if __name__ == "__main__":
    unittest.main()
