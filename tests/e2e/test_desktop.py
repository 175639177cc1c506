#!/usr/bin/env python3
"""The real bundle under Xvfb with a system tray (trayer), each test with an X server and a home
folder of its own; every process ends with the test. Screenshots and the programs' output are
kept in the build folder's test-artifacts.

Knob: on a dark and on a light panel, the knob shows in the panel's colour (in the foreground
the tray names in _NET_SYSTEM_TRAY_COLORS where it names one, else after the settings portal's
light or dark preference) and is redrawn when either changes or a new tray takes it; opening
Quendrel again hands over to the running copy, and SIGTERM ends it. Prints, for each step, the
share of the knob's opaque area that differs clearly from the panel.

Update: version N runs from the home folder's Applications folder; N+1 is published with
quendrel-release to a folder that devkit/service serves. `quendrelctl update` prints the update
line as the menu shows it. Then the update line is chosen in the tray menu with xdotool: the
bundle is swapped, N+1 starts as a new instance and N quits once N+1 has said it is up.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_desktop.py
"""
import contextlib
import os
import plistlib
import random
import shutil
import sys
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
OLD, NEW = "5.0", "5.1"
BUS = """<busconfig><type>session</type><listen>unix:path={}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>"""
# The devkit's tests share their ways of finding a free port and of waiting for something.
sys.path.insert(0, str(SOURCE_ROOT / "tests/devkit"))
from test_devkit import free_port, wait_for  # noqa: E402


def luminances(image, *options):
    return list(subprocess.run(["convert", str(image), *options, "-depth", "8", "gray:-"],
                               check=True, capture_output=True).stdout)


def mounts_below(folder):
    inside = str(Path(folder).resolve())
    with open("/proc/self/mounts") as table:
        points = [line.split()[1].replace("\\040", " ") for line in table]
    return [p for p in points if p == inside or p.startswith(inside + "/")]


def version(app, **changes):
    """The bundle's version, after the changes (when there are some) are written to it."""
    info = app / "Contents/Info.plist"
    plist = plistlib.loads(info.read_bytes()) | changes
    if changes:
        info.write_bytes(plistlib.dumps(plist))
    return plist["CFBundleShortVersionString"]


class Desktop(unittest.TestCase):
    # The tools come with scripts/bootstrap, the bundle with the `bundle` target.
    def setUp(self):
        self.temp = Path(tempfile.mkdtemp(prefix="quendrel-e2e-"))
        self.addCleanup(shutil.rmtree, self.temp, True)
        self.home, runtime = self.temp / "home", self.temp / "runtime"
        runtime.mkdir(mode=0o700)
        self.env = {k: v for k, v in os.environ.items() if k not in ("QUENDREL_NEW_INSTANCE",
                    "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS")}
        self.env |= dict(HOME=str(self.home), TMPDIR=str(self.temp), XDG_RUNTIME_DIR=str(runtime),
                         QUENDREL_PORT=str(free_port()), QTWEBENGINE_DISABLE_SANDBOX="1")
        # A display number of its own, drawn at random: the lowest free one (Xvfb's own choice)
        # is the one a test that has just ended gave up, and that server, on its way out, can
        # still take the new one's socket away. Xvfb writes the number to `-displayfd` once it
        # takes connections, and ends without a word when the number is in use. `-noreset`: an
        # X server that resets itself when its last client leaves could turn away the client
        # that comes next.
        for _ in range(20):
            self.env["DISPLAY"] = f":{random.randrange(100, 1000)}"
            server, announced = self.announcing("Xvfb", self.env["DISPLAY"], "-screen", "0",
                                                "640x480x24", "-nolisten", "tcp", "-noreset",
                                                "-displayfd", "{}")
            if announced:
                break
            self.stop(server)
        else:
            self.fail("Xvfb did not start")
        # Installed in the home folder's Applications folder, so that it carries on at once
        # instead of offering to move itself there.
        self.app = self.home / "Applications/Quendrel.app"
        self.executable = self.app / "Contents/MacOS/Quendrel"
        shutil.copytree(BUNDLE, self.app, symlinks=True)

    def spawn(self, argv, **kwargs):
        """Starts a process that is ended when the test ends; its output goes to a log among
        the test artefacts. Gives the process and its log."""
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        path = ARTIFACTS / f"{self._testMethodName}-{Path(str(argv[0])).name}.log"
        with open(path, "wb") as log:
            process = subprocess.Popen([str(a) for a in argv], stdout=log, stderr=log,
                                       start_new_session=True, env=self.env, **kwargs)
        self.addCleanup(self.stop, process)
        return process, path

    def announcing(self, *argv):
        """Spawns a program that writes a line to a descriptor (`{}` in its arguments) once it
        is ready; gives the process and that line."""
        read_end, write_end = os.pipe()
        process, _ = self.spawn([str(a).format(write_end) for a in argv], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            return process, announced.readline().strip()

    @staticmethod
    def stop(process):
        """Asks the process to end (an X server cleans up after itself then), else ends it."""
        process.terminate()
        with contextlib.suppress(subprocess.TimeoutExpired):
            return process.wait(10)
        process.kill()
        process.wait()

    def x(self, *argv, check=False):
        """The output of a program run on the test's display; with `check`, it must succeed."""
        done = subprocess.run([str(a) for a in argv], env=self.env, capture_output=True, text=True)
        self.assertFalse(check and done.returncode, f"{argv}: {done.stdout}{done.stderr}")
        return done.stdout

    def tray_window(self):
        """trayer's visible panel window, when there is one."""
        windows = self.x("xdotool", "search", "--class", "trayer").split()
        return next((w for w in windows if "IsViewable" in self.x("xwininfo", "-id", w)), None)

    def width(self, window, side="Width"):
        lines = self.x("xwininfo", "-id", window).splitlines()
        return next((int(line.split(":")[1]) for line in lines
                     if line.strip().startswith(side + ":")), 0)

    def start_tray(self, *trayer_options):
        """Starts the tray (kept as `self.trayer`); gives its window once it shows."""
        self.trayer, _ = self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                     "request", "--height", "24", "--SetDockType", "true",
                                     *trayer_options])
        tray = wait_for(self.tray_window, 30)
        self.assertIsNotNone(tray, "trayer did not show its panel")
        return tray

    def start_in_tray(self, *trayer_options):
        """Starts the tray, then Quendrel, and waits for the tray to take its icon; gives the
        tray's window and Quendrel's process."""
        tray = self.start_tray(*trayer_options)
        empty = self.width(tray)
        quendrel, log = self.spawn([self.executable])
        grown = wait_for(lambda: self.width(tray) > empty or quendrel.poll() is not None, 60)
        # Still running, and in the tray.
        self.assertEqual((quendrel.poll(), bool(grown)), (None, True), f"see {log}")
        return tray, quendrel

    def on_trayer(self, *change):
        """Changes a property of each of trayer's windows, the tray manager's (named, without a
        class) among them."""
        for by in ("--class", "--name"):
            for window in self.x("xdotool", "search", by, "trayer").split():
                self.x("xprop", "-id", window, *change)

    def follow(self, tint, ink, prefers, opposite):
        """On a trayer of this tint: clear in the scheme the desktop `prefers`, lost in the
        `opposite` one, clear again in the foreground `ink` the tray names, whatever the scheme."""
        (self.temp / "bus.conf").write_text(BUS.format(self.temp / "bus"))
        _, self.env["DBUS_SESSION_BUS_ADDRESS"] = self.announcing(
            "dbus-daemon", "--nofork", "--config-file", self.temp / "bus.conf",
            "--print-address={}")
        _, log = self.spawn([BUILD_ROOT / "tests/test-portal", prefers])
        self.assertTrue(wait_for(lambda: "ready" in log.read_text(), 30), "no portal")
        tinted = ("--transparent", "true", "--alpha", "0", "--tint", tint)
        tray, quendrel = self.start_in_tray(*tinted)
        # The knob's area: the pixels of its icon at the tray's height at least a quarter opaque.
        side = self.width(tray, "Height")
        icons = self.home / f".local/share/icons/hicolor/{side}x{side}/apps"
        icon = wait_for(lambda: next(icons.glob("*.png"), None), 30)
        area = sum(a > 64 for a in luminances(icon, "-alpha", "extract"))

        def seen(case, clear):
            """Whether more than a fifth of the knob's area differs from the panel's luminance
            by more than a quarter of the scale."""
            name = f"knob-{tint}-{case}.png"

            def share():
                self.x("import", "-window", tray, ARTIFACTS / name)
                shot = luminances(ARTIFACTS / name, "-colorspace", "gray")
                panel = max(set(shot), key=shot.count)
                return sum(abs(v - panel) > 64 for v in shot) / area
            came = wait_for(lambda: (share() >= 0.2) == clear, 30)
            print(f"{name}: {share():.0%} of the knob clear")
            self.assertTrue(came, f"the knob is {'not ' * (not clear)}lost in the panel ({name})")
        seen("preference", True)
        self.x("dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.portal.Desktop",
               "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings.Set",
               f"uint32:{opposite}")
        seen("opposite", False)
        colours = ("-f", "_NET_SYSTEM_TRAY_COLORS", "32c", "-set", "_NET_SYSTEM_TRAY_COLORS",
                   ",".join([str(ink)] * 3 + ["0"] * 9))
        self.on_trayer(*colours)
        seen("tray-colours", True)
        self.on_trayer("-remove", "_NET_SYSTEM_TRAY_COLORS")
        seen("opposite-again", False)
        # A tray started in place of the old one is followed too, once it has taken the knob.
        docked = self.width(tray)
        self.stop(self.trayer)
        self.assertTrue(wait_for(lambda: self.tray_window() is None, 30))
        tray = self.start_tray(*tinted)
        self.assertTrue(wait_for(lambda: self.width(tray) >= docked, 60), "the knob did not move")
        self.on_trayer(*colours)
        seen("new-tray-colours", True)
        return quendrel

    def test_on_a_dark_panel_reopen_and_terminate(self):
        quendrel = self.follow("0x000000", 0xeeee, prefers=1, opposite=2)
        # Opening it again while it runs: the new process hands over and leaves.
        again = subprocess.run([self.executable], env=self.env, capture_output=True, timeout=60)
        self.assertEqual((again.returncode, quendrel.poll()), (0, None), again.stdout)
        # Outside setup a termination request ends it without asking anything.
        quendrel.terminate()
        self.assertEqual(quendrel.wait(60), 0)

    def test_on_a_light_panel(self):
        self.follow("0xffffff", 0x2222, prefers=2, opposite=1)

    def test_the_menu_relaunches_into_the_published_version(self):
        self.addCleanup(lambda: [subprocess.run(["fusermount3", "-u", "-z", point])
                                 for point in reversed(mounts_below(self.temp))])
        key, releases, port = self.temp / "release.key", self.temp / "releases", free_port()
        self.x(CODESIGN, "keygen", key, check=True)
        _, log = self.spawn([SOURCE_ROOT / "devkit/service", "--port", port, "--releases",
                             releases])
        self.assertTrue(wait_for(lambda: "Ready on" in log.read_text(errors="replace"), 30),
                        "the stand-in service did not start")
        service = f"http://127.0.0.1:{port}"

        # Version N, installed and signed; version N+1 published with one command.
        version(self.app, CFBundleShortVersionString=OLD, QuendrelService=service)
        self.x(CODESIGN, "sign", self.app, "--key", key, check=True)
        upcoming = self.temp / "build-next/Quendrel.app"
        shutil.copytree(BUNDLE, upcoming, symlinks=True)
        version(upcoming, CFBundleShortVersionString=NEW, QuendrelService=service)
        self.x(BUILD_ROOT / "quendrel-release", upcoming, "--key", key, "--out", releases,
               check=True)

        # quendrelctl update stages it too, and prints the update line as the menu shows it.
        staging = self.home / "Library/Application Support/Quendrel/Update"
        printed = self.x(self.app / "Contents/MacOS/quendrelctl", "update", check=True)
        self.assertEqual(printed.splitlines()[-1], f"Relaunch to finish updating to {NEW}")
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
        self.x("import", "-window", tray, ARTIFACTS / "update-tray.png")
        self.assertTrue(relaunched, "choosing the update line did not end the running version")
        self.assertEqual((old.returncode, version(self.app)), (0, NEW))

        # N+1 runs from the same place, as a new instance; N's bundle is gone.
        new = wait_for(lambda: [int(p) for p in self.x("pgrep", "-f", self.executable).split()], 30)
        for pid in new:
            self.addCleanup(os.kill, pid, 9)
        self.assertEqual((bool(new), old.pid in new, staged.exists(), os.listdir(self.app.parent)),
                         (True, False, False, ["Quendrel.app"]), "N+1 running, from its place")
        self.x(CODESIGN, "verify", self.app, check=True)


if __name__ == "__main__":
    unittest.main()
