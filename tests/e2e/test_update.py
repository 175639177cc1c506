#!/usr/bin/env python3
"""Updating the real bundle from the stand-in service, under Xvfb with a system tray.

Version N runs from a temporary home folder's Applications folder; version N+1 is published
with quendrel-release to a folder that devkit/service serves. `quendrelctl update` of the
running copy's bundle prints the update line as the menu shows it, ending with "Relaunch to
finish updating to " and N+1. Then the running Quendrel is driven through its tray menu with
xdotool: the update line is chosen, the bundle is swapped, N+1 starts as a new instance and N
quits.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_update.py
"""
import os
import plistlib
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parents[2]
BUILD_ROOT = Path(os.environ.get("BUILD_ROOT", SOURCE_ROOT / "build"))
ARTIFACTS = BUILD_ROOT / "test-artifacts"
BUNDLE = BUILD_ROOT / "Quendrel.app"
CODESIGN = BUILD_ROOT / "quendrel-codesign"
RELEASE = BUILD_ROOT / "quendrel-release"
OLD, NEW = "5.0", "5.1"


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


def set_info(app, **values):
    info = Path(app) / "Contents" / "Info.plist"
    with open(info, "rb") as f:
        plist = plistlib.load(f)
    plist.update(values)
    with open(info, "wb") as f:
        plistlib.dump(plist, f)


def mounts_below(folder):
    inside = str(Path(folder).resolve())
    found = []
    with open("/proc/self/mounts") as table:
        for line in table:
            point = line.split()[1].replace("\\040", " ")
            if point == inside or point.startswith(inside + "/"):
                found.append(point)
    return found


def processes_running(executable):
    """Process ids whose program is the file at `executable` now (not one since replaced)."""
    wanted = os.stat(executable)
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            seen = os.stat(entry / "exe")
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if (seen.st_dev, seen.st_ino) == (wanted.st_dev, wanted.st_ino) and state != "Z":
            pids.append(int(entry.name))
    return pids


class Update(unittest.TestCase):
    def setUp(self):
        for tool in ("Xvfb", "trayer", "xdotool", "xwininfo", "import", "mksquashfs",
                     "squashfuse", "fusermount3"):
            self.assertIsNotNone(shutil.which(tool), f"{tool} is missing: run scripts/bootstrap")
        for built in (BUNDLE / "Contents" / "MacOS" / "Quendrel", CODESIGN, RELEASE):
            self.assertTrue(built.is_file(), f"no {built}: build first")
        self.temp = Path(tempfile.mkdtemp(prefix="quendrel-e2e-update-"))
        self.addCleanup(shutil.rmtree, self.temp, True)
        self.addCleanup(self.unmount_all)
        self.display = self.start_x()
        self.home = self.temp / "home"
        runtime = self.temp / "runtime"
        self.home.mkdir()
        runtime.mkdir(mode=0o700)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("QUENDREL_NEW_INSTANCE", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        self.env.update(DISPLAY=self.display, HOME=str(self.home), TMPDIR=str(self.temp),
                        XDG_RUNTIME_DIR=str(runtime), QUENDREL_PORT=str(free_port()),
                        QTWEBENGINE_DISABLE_SANDBOX="1")
        self.apps = self.home / "Applications"
        self.app = self.apps / "Quendrel.app"
        self.executable = self.app / "Contents" / "MacOS" / "Quendrel"
        self.staging = self.home / "Library" / "Application Support" / "Quendrel" / "Update"

    # Processes and the display

    def spawn(self, argv, name, **kwargs):
        """Starts a process that is ended when the test ends; its output goes to a log among
        the test artefacts."""
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        path = ARTIFACTS / f"update-{name}.log"
        log = open(path, "wb")
        self.addCleanup(log.close)
        process = subprocess.Popen([str(a) for a in argv], stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True, **kwargs)
        self.addCleanup(self.stop, process)
        return process, path

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
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24",
                    "-nolisten", "tcp"], "xvfb", pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            number = announced.readline().strip()  # written once the server is ready
        self.assertTrue(number.isdigit(), "Xvfb did not start")
        return ":" + number

    def x(self, *argv):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        return done.stdout if done.returncode == 0 else ""

    def tray_window(self):
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
        subprocess.run(["import", "-window", window, str(ARTIFACTS / name)], env=self.env,
                       capture_output=True)

    def unmount_all(self):
        for point in reversed(mounts_below(self.temp)):
            subprocess.run(["fusermount3", "-u", "-z", point], capture_output=True)
            subprocess.run(["umount", "-l", point], capture_output=True)

    def tool(self, *argv):
        done = subprocess.run([str(a) for a in argv], env=self.env, capture_output=True, text=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0, f"{argv}: {done.stdout}{done.stderr}")
        return done.stdout

    def start_service(self, releases):
        port = free_port()
        service, log = self.spawn([SOURCE_ROOT / "devkit" / "service", "--port", port,
                                   "--releases", releases], "service", env=self.env)
        ready = wait_for(lambda: "Ready on" in log.read_text(errors="replace"), 30)
        self.assertTrue(ready, "the stand-in service did not start")
        self.assertIsNone(service.poll())
        return f"http://127.0.0.1:{port}"

    def make_version(self, target, version, service):
        shutil.copytree(BUNDLE, target, symlinks=True)
        set_info(target, CFBundleShortVersionString=version, QuendrelService=service)

    def test_the_menu_relaunches_into_the_published_version(self):
        key = self.temp / "release.key"
        self.tool(CODESIGN, "keygen", key)
        releases = self.temp / "releases"
        service = self.start_service(releases)

        # Version N, installed and signed; version N+1 published with one command.
        self.make_version(self.app, OLD, service)
        self.tool(CODESIGN, "sign", self.app, "--key", key)
        upcoming = self.temp / "build-next" / "Quendrel.app"
        self.make_version(upcoming, NEW, service)
        self.tool(RELEASE, upcoming, "--key", key, "--out", releases)

        # What the update line goes through, as quendrelctl prints it. It only stages.
        printed = self.tool(self.app / "Contents" / "MacOS" / "quendrelctl", "update")
        self.assertEqual(printed.splitlines(),
                         [f"Getting Quendrel {NEW}…", f"Relaunch to finish updating to {NEW}"])
        self.assertEqual(mounts_below(self.temp), [])
        shutil.rmtree(self.staging)

        self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                    "--height", "24", "--SetDockType", "true"], "trayer", env=self.env)
        tray = wait_for(self.tray_window, 30)
        self.assertIsNotNone(tray, "trayer did not show its panel")
        empty = self.width(tray)
        old, _ = self.spawn([self.executable], "quendrel", env=self.env)
        grown = wait_for(lambda: self.width(tray) > empty or old.poll() is not None, 60)
        self.assertIsNone(old.poll(), "Quendrel ended on its own")
        self.assertTrue(grown, "the tray did not take an icon")

        # The running copy fetches N+1 by itself: staged, and its image detached again.
        staged = self.staging / "Quendrel.app"
        fetched = wait_for(lambda: staged.is_dir() and not mounts_below(self.staging), 120)
        self.assertTrue(fetched, "the running Quendrel did not stage the new version")

        def choose_update_line():
            # Left-clicking the knob opens the menu at the pointer. From the bottom, Up goes
            # over Quit, Uninstall, Restart, Change and Show the passphrase to the update line.
            self.x("xdotool", "mousemove", "--window", tray, str(self.width(tray) - 12), "12",
                   "click", "1")
            time.sleep(1)
            self.x("xdotool", "key", "--delay", "150", *(["Up"] * 6), "Return")
            return wait_for(lambda: old.poll() is not None, 10)

        relaunched = wait_for(choose_update_line, 60)
        self.screenshot(tray, "update-tray.png")
        self.assertTrue(relaunched, "choosing the update line did not end the running version")
        self.assertEqual(old.returncode, 0)

        # N+1 runs from the same place, as a new instance; N's bundle is gone.
        with open(self.app / "Contents" / "Info.plist", "rb") as f:
            self.assertEqual(plistlib.load(f)["CFBundleShortVersionString"], NEW)
        new = wait_for(lambda: processes_running(self.executable), 30)
        self.assertTrue(new, "the new version is not running")
        for pid in new:
            self.addCleanup(self.end, pid)
        self.assertNotIn(old.pid, new)
        self.assertEqual(sorted(p.name for p in self.apps.iterdir()), ["Quendrel.app"])
        self.assertFalse(staged.exists(), "the staged copy went into place")
        self.tool(CODESIGN, "verify", self.app)

    @staticmethod
    def end(pid):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        for _ in range(100):
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.1)
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


if __name__ == "__main__":
    unittest.main()
