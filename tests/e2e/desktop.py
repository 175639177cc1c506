"""What the end-to-end tests share: an X server of their own, a home folder of their own, a
tray (trayer) and Quendrel in it; every process ends with the test. Screenshots and the
programs' output are kept in the build folder's test-artifacts."""
import contextlib
import os
import random
import shutil
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


def wait_for(check, seconds):
    """Asks `check` until it gives something true or `seconds` have passed; gives its last
    answer."""
    deadline = time.monotonic() + seconds
    while not (answer := check()) and time.monotonic() < deadline:
        time.sleep(0.2)
    return answer


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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

    def x(self, *argv):
        done = subprocess.run([str(a) for a in argv], env=self.env, capture_output=True,
                              text=True)
        return done.stdout if done.returncode == 0 else ""

    def tray_window(self):
        """trayer's visible panel window, when there is one."""
        windows = self.x("xdotool", "search", "--class", "trayer").split()
        return next((w for w in windows if "IsViewable" in self.x("xwininfo", "-id", w)), None)

    def width(self, window, side="Width"):
        lines = self.x("xwininfo", "-id", window).splitlines()
        return next((int(line.split(":")[1]) for line in lines
                     if line.strip().startswith(side + ":")), 0)

    def screenshot(self, window, name):
        self.x("import", "-window", window, ARTIFACTS / name)
        return ARTIFACTS / name

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
        self.assertIsNone(quendrel.poll(), f"Quendrel ended on its own (see {log})")
        self.assertTrue(grown, f"the tray did not take an icon (see {log})")
        return tray, quendrel
