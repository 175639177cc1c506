#!/usr/bin/env python3
"""The real bundle in a real system tray: the knob appears, opening Quendrel again hands over
to the running copy, and SIGTERM ends it.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_tray.py
"""
import shutil
import signal
import subprocess
import unittest

from desktop import BUNDLE, Desktop, wait_for


def dark_pixels(png):
    """How many pixels are far darker than the image's most common colour (the tray)."""
    data = subprocess.run(["convert", str(png), "-depth", "8", "rgb:-"], check=True,
                          capture_output=True).stdout
    colours = [tuple(data[i:i + 3]) for i in range(0, len(data) - 2, 3)]
    background = max(set(colours), key=colours.count)
    return sum(1 for c in colours if sum(background) - sum(c) > 3 * 96)


class Tray(Desktop):
    TOOLS = Desktop.TOOLS + ("convert",)

    def test_knob_in_the_tray_reopen_and_terminate(self):
        shutil.copytree(BUNDLE, self.app, symlinks=True)
        tray, quendrel = self.start_in_tray()
        knob = wait_for(lambda: dark_pixels(self.screenshot(tray, "tray.png")) > 30, 30)
        self.assertTrue(knob, "no knob drawn in the tray (see tray.png)")

        # Opening it again while it runs: the new process hands over and leaves.
        again = subprocess.run([self.executable], env=self.env, capture_output=True, timeout=60)
        self.assertEqual(again.returncode, 0, again.stdout)
        self.assertIsNone(quendrel.poll(), "the running copy went away")

        # Outside setup a termination request ends it without asking anything.
        quendrel.send_signal(signal.SIGTERM)
        self.assertEqual(quendrel.wait(60), 0)


if __name__ == "__main__":
    unittest.main()
