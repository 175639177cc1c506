#!/usr/bin/env python3
"""The real bundle in a real system tray.

Starts its own X server (Xvfb), a tray (trayer), a temporary home folder and Quendrel from
the bundle in the build folder; checks that the knob appears in the tray, that opening
Quendrel again hands over to the running copy, and that SIGTERM ends it. A screenshot of the
tray and the programs' output are kept in the build folder's test-artifacts.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_tray.py
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

BUILD_ROOT = Path(os.environ.get("BUILD_ROOT", Path(__file__).resolve().parents[2] / "build"))
EXECUTABLE = BUILD_ROOT / "Quendrel.app" / "Contents" / "MacOS" / "Quendrel"
ARTIFACTS = BUILD_ROOT / "test-artifacts"


def wait_for(check, seconds):
    """Asks `check` until it gives something true or `seconds` have passed; gives its last
    answer."""
    deadline = time.monotonic() + seconds
    while True:
        answer = check()
        if answer or time.monotonic() > deadline:
            return answer
        time.sleep(0.2)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pixels(png):
    """(width, height, RGB bytes) of an image, through ImageMagick."""
    size = subprocess.run(["identify", "-format", "%w %h", str(png)], check=True,
                          capture_output=True, text=True).stdout.split()
    data = subprocess.run(["convert", str(png), "-depth", "8", "rgb:-"], check=True,
                          capture_output=True).stdout
    return int(size[0]), int(size[1]), data


def dark_pixels(png):
    """How many pixels are far darker than the image's most common colour (the tray)."""
    width, height, data = pixels(png)
    colours = [tuple(data[i:i + 3]) for i in range(0, width * height * 3, 3)]
    background = max(set(colours), key=colours.count)
    return sum(1 for c in colours if sum(background) - sum(c) > 3 * 96)


class Tray(unittest.TestCase):
    def setUp(self):
        for tool in ("Xvfb", "trayer", "xdotool", "xwininfo", "import", "convert", "identify"):
            self.assertIsNotNone(shutil.which(tool), f"{tool} is missing: run scripts/bootstrap")
        self.assertTrue(EXECUTABLE.is_file(), f"no bundle at {EXECUTABLE}: build first")
        self.temp = Path(tempfile.mkdtemp(prefix="quendrel-e2e-"))
        self.addCleanup(shutil.rmtree, self.temp, True)
        self.display = self.start_x()
        self.env = self.environment()
        # Installed in the home folder's Applications folder, so that it carries on at once
        # instead of offering to move itself there.
        installed = Path(self.env["HOME"]) / "Applications" / "Quendrel.app"
        shutil.copytree(EXECUTABLE.parents[2], installed, symlinks=True)
        self.executable = installed / "Contents" / "MacOS" / "Quendrel"

    # Processes

    def spawn(self, argv, **kwargs):
        """Starts a process that is ended when the test ends, however it ends."""
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        log = open(ARTIFACTS / f"tray-{Path(argv[0]).name}.log", "wb")
        self.addCleanup(log.close)
        process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True, **kwargs)
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def start_x(self):
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x200x24",
                    "-nolisten", "tcp"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            number = announced.readline().strip()  # written once the server is ready
        self.assertTrue(number.isdigit(), "Xvfb did not start")
        return ":" + number

    def environment(self):
        home = self.temp / "home"
        runtime = self.temp / "runtime"
        home.mkdir()
        runtime.mkdir(mode=0o700)
        env = {k: v for k, v in os.environ.items()
               if k not in ("QUENDREL_NEW_INSTANCE", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(DISPLAY=self.display, HOME=str(home), TMPDIR=str(self.temp),
                   XDG_RUNTIME_DIR=str(runtime), QUENDREL_PORT=str(free_port()),
                   QTWEBENGINE_DISABLE_SANDBOX="1")
        return env

    def x(self, *argv):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        return done.stdout if done.returncode == 0 else ""

    # The tray

    def tray_window(self):
        """trayer's visible panel window, when there is one."""
        for window in self.x("xdotool", "search", "--class", "trayer").split():
            if "IsViewable" in self.x("xwininfo", "-id", window):
                return window
        return None

    def width(self, window):
        for line in self.x("xwininfo", "-id", window).splitlines():
            if line.strip().startswith("Width:"):
                return int(line.split(":")[1])
        return 0

    def screenshot(self, window, name):
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        png = ARTIFACTS / name
        subprocess.run(["import", "-window", window, str(png)], env=self.env, check=True,
                       capture_output=True)
        return png

    # The scenario

    def test_knob_in_the_tray_reopen_and_terminate(self):
        self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                    "--height", "24", "--SetDockType", "true"], env=self.env)
        tray = wait_for(self.tray_window, 30)
        self.assertIsNotNone(tray, "trayer did not show its panel")
        empty = self.width(tray)

        quendrel = self.spawn([str(self.executable)], env=self.env)
        grown = wait_for(lambda: self.width(tray) > empty or quendrel.poll() is not None, 60)
        logs = ARTIFACTS / "tray-Quendrel.log"
        self.assertIsNone(quendrel.poll(), f"Quendrel ended on its own (see {logs})")
        self.assertTrue(grown, f"the tray did not take an icon (see {logs})")

        knob = wait_for(lambda: dark_pixels(self.screenshot(tray, "tray.png")) > 30, 30)
        self.assertTrue(knob, f"no knob drawn in the tray (see {ARTIFACTS / 'tray.png'})")

        # Opening it again while it runs: the new process hands over and leaves.
        again = subprocess.run([str(self.executable)], env=self.env, capture_output=True,
                               timeout=60)
        self.assertEqual(again.returncode, 0, again.stdout)
        self.assertIsNone(quendrel.poll(), "the running copy went away")

        # Outside setup a termination request ends it without asking anything.
        quendrel.send_signal(signal.SIGTERM)
        try:
            code = quendrel.wait(60)
        except subprocess.TimeoutExpired:
            self.fail("Quendrel did not end after SIGTERM")
        self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
