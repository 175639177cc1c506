"""The reference desk (setup.sh, agent.sh, the console, uninstall.sh), driven as the application
drives it, the stand-in service and the demo helper that lays a desk down by hand.

Everything a test starts lives under one temporary folder; `close` stops it all (also
after a failure) and removes the folder.
"""

import contextlib
import http.client
import json
import os
import shutil
import socket
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.parse
from pathlib import Path

DEVKIT = Path(__file__).resolve().parents[2] / "devkit"
PAYLOAD = DEVKIT / "payload"
PYTHON = "/usr/bin/python3"
MIXES = "Quendrel — your mixes"
PAIRING = """import asyncio, sys
from engine.uplink import pair
r = asyncio.run(pair(sys.argv[1], sys.argv[2], 'presets/.uplink', sys.argv[3]))
print(r['message'])
sys.exit(0 if r['ok'] else 1)"""


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def request(port, path, method="GET", body=None, headers=None):
    """(status, headers, body) of one HTTP request to 127.0.0.1."""
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", port, timeout=5)) as conn:
        conn.request(method, path, body=body, headers=headers or {})
        answer = conn.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()


def up(port):
    with contextlib.suppress(OSError):
        return request(port, "/relay-info")[0] == 200
    return False


def wait_for(check, seconds=60):
    """Polls `check` until it holds or the time is up; gives its last answer."""
    deadline = time.monotonic() + seconds
    while not (answer := check()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return answer


def make(path, text="x"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, "utf-8")
    return path


def login(port, passphrase):
    body = urllib.parse.urlencode({"passphrase": passphrase})
    status, headers, _ = request(port, "/login", "POST", body,
                                 {"Content-Type": "application/x-www-form-urlencoded"})
    return status, headers.get("Set-Cookie", "").split(";")[0]


class Devkit(unittest.TestCase):
    """Each test gets a temporary home folder; the desk can be laid down in it."""

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="quendrel-devkit-"))
        self.addCleanup(self.close)
        # A home folder name with a blank, an apostrophe and an ampersand checks the scripts'
        # quoting and the property list's escaping.
        self.home = self.root / "Sam O'Neil & co"
        self.support = self.home / "Library/Application Support/Quendrel"
        self.desk, self.port = self.support / "Desk", free_port()
        self.app = make(self.home / "Applications/Quendrel.app/Contents/Info.plist").parents[1]

    def run_(self, argv, cwd=None, **changes):
        env = {k: v for k, v in os.environ.items() if k not in (
            "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "XDG_DATA_HOME", "TARVIC_PORT")}
        env |= dict(HOME=str(self.home), QUENDREL_PORT=str(self.port), DESK_SUPERVISOR="process",
                    DESK_BIND="127.0.0.1", XDG_CONFIG_HOME=str(self.home / ".config")) | changes
        done = subprocess.run([str(a) for a in argv], cwd=cwd or self.desk, encoding="utf-8",
                              env={k: v for k, v in env.items() if v is not None},
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=120)
        return done.returncode, done.stdout

    def script(self, name, *args, **env):
        """Run a payload script as the application does: bash, full path, a command."""
        return self.run_(["/bin/bash", self.desk / name, *args], **env)

    def uninstall(self, *args):
        """uninstall.sh, run from a temporary copy the way the application runs it."""
        copy = shutil.copy(PAYLOAD / "uninstall.sh", self.root / "quendrel-uninstall-TEST.sh")
        return self.run_(["/bin/bash", copy, *args], cwd=self.root)

    def close(self):
        # Whatever runs from inside the sandbox (the desk, its keeper, the service) ends.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError):
                cmd = Path("/proc/%s/cmdline" % pid).read_bytes().decode("utf-8", "replace")
                if int(pid) != os.getpid() and (str(self.root) in cmd or os.readlink(
                        "/proc/%s/cwd" % pid).startswith(str(self.root))):
                    os.kill(int(pid), 9)
        shutil.rmtree(self.root, ignore_errors=True)

    def pair(self, port, code, terms="2025-04", path="church"):
        address = "ws://127.0.0.1:%d/%s" % (port, path)
        return self.run_([self.desk / ".venv/bin/python", "-c", PAIRING, address, code, terms])

    def test_one_desk_laid_down_by_hand_to_uninstalled(self):
        # A script's end may never run here, yet must parse.
        for script in ["setup.sh", "agent.sh", "uninstall.sh", "../lay-down-by-hand"]:
            self.assertEqual(subprocess.run(["/bin/bash", "-n", PAYLOAD / script]).returncode, 0)
        # The demo helper starts the stand-in service, lays the desk down, sets it up, pairs it
        # and installs it, as the application does. (That pairing works and keeps its
        # credentials private, and that a used or wrong code fails, is also on the security
        # check's road with the reference desk.)
        port, sp, access = self.port, free_port(), self.desk / "presets/.access"
        rc, out = self.run_([DEVKIT / "lay-down-by-hand", self.home, sp, "123456", port],
                            cwd=self.root)
        # The property list is escaped; the passphrase is three words only its owner may read.
        plist = self.home / "Library/LaunchAgents/com.quendrel.desk.plist"
        self.assertEqual((rc, "now connected to St Brigid's" in out,
                          "The console: http://localhost:%d" % port in out,
                          "Sam O'Neil &amp; co/Library/Application Support" in plist.read_text()),
                         (0, True, True, True), out)
        words = access.read_text("utf-8").strip()
        self.assertRegex(words, r"^[a-z]+ [a-z]+ [a-z]+$")
        self.assertEqual(stat.S_IMODE(access.stat().st_mode), 0o600)
        # Run again, setup.sh makes the desk's .venv again when it is broken. (Run again over a
        # sound one is on the security check's road.)
        (self.desk / ".venv/bin/python").unlink()
        rc, out = self.script("setup.sh")
        self.assertEqual((rc, "making it again" in out), (0, True), out)

        # Pairing's refusals, in the texts the application shows.
        # A refusal leaves the credentials the desk has alone.
        before = (self.desk / "presets/.uplink").read_bytes()
        ran_out = request(sp, "/codes/new?lasts=0")[2].decode().strip()
        for code, at, path, said in [  # used, wrong, not digits, run out, ...
                *[(c, sp, "church", "That code was not accepted. Codes last an hour and work "
                                    "once — ask for another.\n") for c in ("123456", "12a456")],
                (ran_out, sp, "church", "has run out"),
                ("123456", free_port(), "church", "Could not reach the Quendrel service"),
                ("123456", sp, "elsewhere", "does not pair computers at that address")]:
            rc, out = self.pair(at, code, path=path)
            self.assertEqual((rc, len(out.strip().splitlines()), said in out), (1, 1, True), out)
        self.assertEqual((self.desk / "presets/.uplink").read_bytes(), before)

        # Signed in to the console, someone moving a fader makes the desk in use.
        self.assertEqual(request(port, "/in-use")[2], b'{"in_use": false}')
        status, cookie = login(port, "  " + words.upper() + " ")
        mix = {"Cookie": cookie, "Content-Type": "application/json"}
        moved = request(port, "/api/mix", "POST", '{"channel": 1, "level": 42}', mix)[2]
        self.assertEqual((status, json.loads(moved)["channels"][1]["level"],
                          json.loads(request(port, "/in-use")[2])["why"]),
                         (303, 42, "1 person is moving faders on the console"))

        # stop ends it, twice; refusals end in a plain last line and a non-zero status.
        self.assertEqual([self.script("agent.sh", "stop")[0], up(port),
                          self.script("agent.sh", "stop")[0]], [0, False, 0])
        with socket.create_server(("127.0.0.1", 0)) as other:
            taken = other.getsockname()[1]
            for command, port_used, said in [
                    ("start", taken, "in use by another program"),
                    ("stop", taken, "did not stop"),
                    ("start", 70000, "a port must be a number from 1 to 65535"),
                    ("dance", port, "is not something the desk's agent can do")]:
                rc, out = self.script("agent.sh", command, QUENDREL_PORT=str(port_used))
                self.assertEqual((rc != 0, said in out.strip().splitlines()[-1]), (True,) * 2, out)
        # The port: the first of the two variables that is set decides; ASCII digits only.
        for quendrel, tarvic, expected in [("+81", None, "81"), ("٨١", None, "8080"),
                                           ("abc", "82", "8080"), (None, "82", "82"),
                                           (None, None, "8080")]:
            rc, out = self.run_([PYTHON, "-m", "engine.desk", "port"], QUENDREL_PORT=quendrel,
                                TARVIC_PORT=tarvic)
            self.assertEqual((rc, out.strip()), (0, expected), (quendrel, tarvic))
        # A new passphrase is the one the restarted desk takes. (That set-passphrase makes
        # another is on the security check's road.)
        self.assertEqual([self.script("agent.sh", c)[0] for c in ("set-passphrase", "restart")],
                         [0, 0])
        new = access.read_text("utf-8").strip()
        self.assertEqual((login(port, words)[0], login(port, new)[0]), (403, 303))

        # Uninstalling the running desk puts the user's work, earlier copies' too, on the
        # Desktop. The first line and the application's own are checked with the application.
        make(self.desk / "projects/Easter/order.mix", "easter")
        make(self.support / "Desk-previous/presets/old.json", "old")
        make(self.support / "Desk-unfinished 2/VERSION")
        make(self.home / "Tarvic-previous/projects/harvest.mix", "harvest")
        make(self.home / "Library/LaunchAgents/com.tarvicone.tarvic.plist")
        lock = make(self.home / ".tarvic-update.lock")
        taken = [make(self.home / "Desktop" / n / "keep.txt", n) for n in (MIXES, MIXES + " 2")]
        rc, out = self.uninstall("--app", self.app)
        # One line a step the user sees.
        self.assertEqual((rc, out.count("✓"), "✓ Put your presets and projects in Desktop/%s 3"
                          % MIXES in out), (0, 9, True), out)
        kept = {"presets/.access": new + "\n", "projects/Easter/order.mix": "easter",
                "Earlier copy (Desk-previous)/presets/old.json": "old",
                "Earlier copy (Tarvic-previous)/projects/harvest.mix": "harvest"}
        mixes = self.home / "Desktop" / (MIXES + " 3")
        self.assertEqual({name: (mixes / name).read_text("utf-8") for name in kept}, kept)
        self.assertEqual([(p.read_text(), os.listdir(p.parent)) for p in taken],
                         [(MIXES, ["keep.txt"]), (MIXES + " 2", ["keep.txt"])])
        # Nor is any start-up entry left.
        self.assertEqual([p.exists() for p in (self.support, self.home / "Tarvic-previous", lock,
                                               self.app, *plist.parent.iterdir())], [False] * 4)

    def test_the_desk_stops_before_it_goes_and_goes_when_the_app_leaves_an_emptied_trash(self):
        # Laid down where it lived under its earlier name, it is still the desk to stop.
        self.desk = shutil.copytree(PAYLOAD, self.home / "Tarvic")
        song = make(self.desk / "projects/song.mix", "song")
        with socket.create_server(("127.0.0.1", self.port)):
            rc, out = self.uninstall()
        self.assertEqual((rc != 0, "could not be stopped, so nothing was removed" in out,
                          song.exists(), (self.home / "Desktop").exists()), (True,) * 3 + (False,))
        # Running, it removes itself once the application it names is emptied from the Trash,
        # never when the application is deleted some other way; the work goes to the home folder.
        make(self.desk / "data/installed-by-app", str(self.app) + "\n")
        self.assertEqual(self.script("agent.sh", "install", DESK_WATCH_SECONDS="0.1")[0], 0)
        elsewhere = self.app.rename(self.root / "elsewhere.app")
        time.sleep(1)
        self.assertTrue(up(self.port))
        trash = self.home / ".local/share/Trash"
        make(trash / "info/Quendrel.app.trashinfo",
             "[Trash Info]\nPath=%s\n" % urllib.parse.quote(str(self.app)))
        elsewhere.rename(make(trash / "files/.keep").parent / "Quendrel.app")
        log = self.desk / "logs/desk.log"
        self.assertTrue(wait_for(lambda: "in the Trash" in log.read_text("utf-8")))
        shutil.rmtree(trash)
        agents = self.home / "Library/LaunchAgents"
        self.assertTrue(wait_for(lambda: not self.desk.exists() and not os.listdir(agents)))
        self.assertEqual(((self.home / MIXES / "projects/song.mix").read_text(),
                          (self.home / "Desktop").exists(), up(self.port)), ("song", False, False))


if __name__ == "__main__":
    unittest.main()
