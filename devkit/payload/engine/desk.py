"""The desk: a small web server that serves the mixing console.

Run from the desk's folder as `python -m engine.desk`. It listens on the port
named by QUENDREL_PORT, else TARVIC_PORT, else 8080, and serves:

  /            the console (faders), behind the passphrase in presets/.access
  /login       the passphrase form's target
  /api/mix     the mix as JSON (GET) and fader moves (POST), for the console
  /relay-info  who and what this is: {"app": "quendrel-desk", "version": ...}
  /in-use      {"in_use": false} or {"in_use": true, "why": "..."}

Two helper commands are used by agent.sh:
  python -m engine.desk port    print the port the desk would use
  python -m engine.desk probe   print "desk", "other" or "none": what answers there
"""

import hmac
import html
import http.client
import json
import os
import re
import secrets
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from engine import access

APP_NAME = "quendrel-desk"
DEFAULT_PORT = 8080
PORT_VARIABLES = ("QUENDREL_PORT", "TARVIC_PORT")
MAX_BODY = 64 * 1024            # no request to the desk needs more than this
ACTIVE_WINDOW = 60.0            # seconds a console client counts as "using it"
COOKIE = "desk_session"
MIX_FILE = os.path.join("presets", "mix.json")
EXIT_CANNOT_START = 3           # agent.sh does not restart the desk after this

_NUMBER = re.compile(r"[+-]?[0-9]+")
_INT64 = (-(2 ** 63), 2 ** 63 - 1)


class CannotStart(Exception):
    """A reason, in plain words, why the desk cannot start."""


# ---------------------------------------------------------------- the port

def choose_port(environ=None):
    """The port and the variable it came from, by the application's own rule.

    The first of QUENDREL_PORT and TARVIC_PORT that is present decides, even
    when its value is empty or unusable (then the port is 8080 and the other
    variable is not looked at). A usable value is an optional + or - followed
    by ASCII digits only, within the signed 64-bit range.
    """
    environ = os.environ if environ is None else environ
    for name in PORT_VARIABLES:
        if name in environ:
            value = environ[name]
            if _NUMBER.fullmatch(value):
                number = int(value, 10)
                if _INT64[0] <= number <= _INT64[1]:
                    return number, name
            return DEFAULT_PORT, name
    return DEFAULT_PORT, None


def usable_port(environ=None):
    """The port to listen on, or CannotStart when it is not a TCP port."""
    port, source = choose_port(environ)
    if not 1 <= port <= 65535:
        raise CannotStart(
            "The console cannot listen on port %d (from %s): a port must be "
            "a number from 1 to 65535." % (port, source))
    return port


def probe(port, timeout=2.0):
    """What answers on 127.0.0.1 at the port: "desk", "other" or "none"."""
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        conn.request("GET", "/relay-info")
        answer = conn.getresponse()
        body = answer.read(4096)
        conn.close()
    except ConnectionRefusedError:
        return "none"
    except (OSError, http.client.HTTPException):
        # Something accepted the connection but did not speak our language,
        # or did not answer in time; check whether anything listens at all.
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=timeout):
                return "other"
        except OSError:
            return "none"
    try:
        info = json.loads(body.decode("utf-8"))
        if answer.status == 200 and info.get("app") == APP_NAME:
            return "desk"
    except (ValueError, AttributeError):
        pass
    return "other"


def read_version(path="VERSION"):
    try:
        with open(path, encoding="utf-8") as f:
            words = f.read().split()
        return words[0] if words else ""
    except (OSError, UnicodeDecodeError):
        return ""


# ---------------------------------------------------------------- the mix

DEFAULT_CHANNELS = ["Lectern", "Pulpit", "Choir", "Piano", "Organ", "Band",
                    "Radio mics", "Stream"]


class Mix:
    """The faders: a level from 0 to 100 and a mute for each channel.

    Every change is saved to presets/mix.json by a background writer, so the
    mix survives a restart and the disk is not written on every fader step.
    """

    def __init__(self, path=MIX_FILE):
        self.path = path
        self.lock = threading.Lock()
        self.changed = threading.Event()
        self.serial = 0
        self.channels = [{"name": n, "level": 70, "muted": False}
                         for n in DEFAULT_CHANNELS]
        self._load()
        self.writer = threading.Thread(target=self._keep_saving, daemon=True)
        self.writer.start()

    def _load(self):
        try:
            with open(self.path, encoding="utf-8") as f:
                saved = json.load(f)
            channels = saved["channels"]
            clean = []
            for c in channels:
                name, level, muted = c["name"], c["level"], c["muted"]
                if (isinstance(name, str) and isinstance(level, int)
                        and not isinstance(level, bool)
                        and isinstance(muted, bool) and 0 <= level <= 100):
                    clean.append({"name": name[:40], "level": level,
                                  "muted": muted})
            if clean:
                self.channels = clean[:32]
        except (OSError, ValueError, KeyError, TypeError):
            pass    # no saved mix yet, or one we cannot read: start afresh

    def snapshot(self):
        with self.lock:
            return {"serial": self.serial,
                    "channels": [dict(c) for c in self.channels]}

    def change(self, request):
        """Apply {"channel": i, "level": n, "muted": b}; return an error text or None."""
        if not isinstance(request, dict):
            return "Send a JSON object."
        index = request.get("channel")
        if not isinstance(index, int) or isinstance(index, bool):
            return "\"channel\" must be a channel number."
        level = request.get("level")
        muted = request.get("muted")
        if level is None and muted is None:
            return "Send a \"level\" or \"muted\" to change."
        if level is not None and (not isinstance(level, int) or isinstance(level, bool)
                                  or not 0 <= level <= 100):
            return "\"level\" must be a whole number from 0 to 100."
        if muted is not None and not isinstance(muted, bool):
            return "\"muted\" must be true or false."
        with self.lock:
            if not 0 <= index < len(self.channels):
                return "There is no channel %d." % index
            if level is not None:
                self.channels[index]["level"] = level
            if muted is not None:
                self.channels[index]["muted"] = muted
            self.serial += 1
        self.changed.set()
        return None

    def _keep_saving(self):
        while True:
            self.changed.wait()
            time.sleep(0.5)     # gather a burst of fader steps into one write
            self.changed.clear()
            self.save()

    def save(self):
        data = self.snapshot()
        folder = os.path.dirname(self.path) or "."
        temp = self.path + ".new"
        try:
            os.makedirs(folder, mode=0o700, exist_ok=True)
            with open(temp, "w", encoding="utf-8") as f:
                json.dump({"channels": data["channels"]}, f, indent=1)
            os.replace(temp, self.path)
        except OSError as e:
            log("The mix could not be saved: %s" % e)


# ---------------------------------------------------------------- who is here

class Sessions:
    """Signed-in console clients and when each was last seen."""

    LIMIT = 500

    def __init__(self):
        self.lock = threading.Lock()
        self.seen = {}          # token -> {"seen": t, "moved": t}
        self.failures = {}      # client address -> [times of wrong passphrases]

    def open(self):
        token = secrets.token_urlsafe(32)
        now = time.monotonic()
        with self.lock:
            if len(self.seen) >= self.LIMIT:
                oldest = min(self.seen, key=lambda t: self.seen[t]["seen"])
                del self.seen[oldest]
            self.seen[token] = {"seen": now, "moved": 0.0}
        return token

    def touch(self, token, moved=False):
        """Mark a client as active; false when the token is not a session."""
        if not token:
            return False
        with self.lock:
            for known, entry in self.seen.items():
                if hmac.compare_digest(known, token):
                    entry["seen"] = time.monotonic()
                    if moved:
                        entry["moved"] = entry["seen"]
                    return True
        return False

    def in_use(self):
        """None when nobody used the console lately, else the reason."""
        since = time.monotonic() - ACTIVE_WINDOW
        with self.lock:
            active = [e for e in self.seen.values() if e["seen"] >= since]
            moving = any(e["moved"] >= since for e in active)
        count = len(active)
        if not count:
            return None
        who = "1 person" if count == 1 else "%d people" % count
        if moving:
            return "%s %s moving faders on the console" % (
                who, "is" if count == 1 else "are")
        return "%s %s the console open" % (who, "has" if count == 1 else "have")

    def too_many_failures(self, client):
        since = time.monotonic() - 600
        with self.lock:
            recent = [t for t in self.failures.get(client, []) if t >= since]
            self.failures[client] = recent
            return len(recent) >= 10

    def failed(self, client):
        with self.lock:
            self.failures.setdefault(client, []).append(time.monotonic())
            if len(self.failures) > 1000:
                self.failures.clear()


# ---------------------------------------------------------------- the server

def log(text):
    sys.stderr.write("%s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), text))
    sys.stderr.flush()


class Desk(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, folder):
        self.folder = folder
        self.version = read_version(os.path.join(folder, "VERSION"))
        self.passphrase = access.normalise(
            access.ensure(os.path.join(folder, access.ACCESS_FILE)))
        self.mix = Mix(os.path.join(folder, MIX_FILE))
        self.sessions = Sessions()
        self.pages = {}
        for name in ("console", "login"):
            with open(os.path.join(folder, "ui", name + ".html"), encoding="utf-8") as f:
                self.pages[name] = f.read()
        super().__init__(address, Handler)


class Handler(BaseHTTPRequestHandler):
    server_version = "QuendrelDesk"
    sys_version = ""

    def version_string(self):
        return self.server_version
    protocol_version = "HTTP/1.1"
    default_request_version = "HTTP/1.0"    # answers carry a status line
    timeout = 30

    # Any method we do not serve is answered 405, never left hanging.
    def __getattr__(self, name):
        if name.startswith("do_"):
            return self._not_allowed
        raise AttributeError(name)

    def _not_allowed(self):
        self.send_text(HTTPStatus.METHOD_NOT_ALLOWED,
                       "The console does not take %s requests.\n" % self.command[:20],
                       close=True)

    def log_request(self, code="-", size="-"):
        if isinstance(code, HTTPStatus):
            code = code.value
        if str(code).isdigit() and int(code) >= 400:
            super().log_request(code, size)

    def log_message(self, fmt, *args):
        log("%s %s" % (self.address_string(), fmt % args))

    # ---- answers

    def send_bytes(self, status, body, ctype, headers=(), close=False):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        for key, value in headers:
            self.send_header(key, value)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_text(self, status, text, close=False):
        self.send_bytes(status, text.encode("utf-8"), "text/plain; charset=utf-8",
                        close=close)

    def send_json(self, status, value, headers=()):
        self.send_bytes(status, json.dumps(value).encode("utf-8"),
                        "application/json", headers)

    def send_page(self, status, page, headers=()):
        self.send_bytes(status, page.encode("utf-8"), "text/html; charset=utf-8",
                        headers + (("Content-Security-Policy",
                                    "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                                    "script-src 'self' 'unsafe-inline'; frame-ancestors 'none'"),
                                   ("Referrer-Policy", "no-referrer")))

    def refuse_body(self, status, text):
        """Answer, then read and drop what the client is still sending, so it
        gets the answer instead of a reset connection."""
        self.send_text(status, text, close=True)
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_WR)
            self.connection.settimeout(1.0)
            deadline, dropped = time.monotonic() + 5, 0
            while time.monotonic() < deadline and dropped < 64 * 1024 * 1024:
                chunk = self.connection.recv(65536)
                if not chunk:
                    break
                dropped += len(chunk)
        except OSError:
            pass

    def read_body(self):
        """The request body, or None after a refusal has been sent."""
        if self.headers.get("Transfer-Encoding"):
            self.refuse_body(HTTPStatus.LENGTH_REQUIRED,
                             "Send the body with a Content-Length.\n")
            return None
        length = self.headers.get("Content-Length", "0").strip()
        if not length.isascii() or not length.isdigit():
            self.refuse_body(HTTPStatus.BAD_REQUEST, "The Content-Length is not a number.\n")
            return None
        if int(length) > MAX_BODY:
            self.refuse_body(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                             "That is too much for the console: at most %d bytes.\n" % MAX_BODY)
            return None
        return self.rfile.read(int(length))

    # ---- who is asking

    def session_token(self):
        for part in self.headers.get("Cookie", "").split(";"):
            key, _, value = part.strip().partition("=")
            if key == COOKIE:
                return value
        return ""

    def signed_in(self, moved=False):
        return self.server.sessions.touch(self.session_token(), moved)

    # ---- routes

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/relay-info":
            self.send_json(HTTPStatus.OK, {"app": APP_NAME, "name": "Quendrel desk",
                                           "version": self.server.version})
        elif path == "/in-use":
            why = self.server.sessions.in_use()
            self.send_json(HTTPStatus.OK, {"in_use": False} if why is None
                           else {"in_use": True, "why": why})
        elif path == "/":
            if self.signed_in():
                self.send_page(HTTPStatus.OK, self.server.pages["console"])
            else:
                self.send_login(HTTPStatus.OK, "")
        elif path == "/api/mix":
            if self.signed_in():
                self.send_json(HTTPStatus.OK, self.server.mix.snapshot())
            else:
                self.send_json(HTTPStatus.UNAUTHORIZED,
                               {"error": "Sign in with the console passphrase first."})
        elif path == "/favicon.ico":
            self.send_bytes(HTTPStatus.NO_CONTENT, b"", "image/x-icon")
        else:
            self.send_text(HTTPStatus.NOT_FOUND, "There is nothing here.\n")

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        if path not in ("/login", "/api/mix"):
            body = self.read_body()
            if body is not None:
                self.send_text(HTTPStatus.NOT_FOUND, "There is nothing here.\n")
            return
        body = self.read_body()
        if body is None:
            return
        if path == "/login":
            self.login(body)
        else:
            self.move(body)

    def send_login(self, status, problem):
        note = ('<p class="problem" role="alert">%s</p>' % html.escape(problem)
                if problem else "")
        self.send_page(status, self.server.pages["login"].replace("{{problem}}", note))

    def login(self, body):
        client = self.client_address[0]
        if self.server.sessions.too_many_failures(client):
            self.send_login(HTTPStatus.TOO_MANY_REQUESTS,
                            "Too many wrong passphrases from this device. "
                            "Wait ten minutes and try again.")
            return
        try:
            form = urllib.parse.parse_qs(body.decode("utf-8"), max_num_fields=10)
        except (UnicodeDecodeError, ValueError):
            form = {}
        typed = access.normalise((form.get("passphrase") or [""])[0])
        if typed and hmac.compare_digest(typed.encode(), self.server.passphrase.encode()):
            token = self.server.sessions.open()
            self.send_response(HTTPStatus.SEE_OTHER)
            self.send_header("Location", "/")
            self.send_header("Set-Cookie", "%s=%s; Path=/; HttpOnly; SameSite=Strict; "
                             "Max-Age=43200" % (COOKIE, token))
            self.send_header("Content-Length", "0")
            self.end_headers()
            log("%s signed in to the console" % client)
            return
        self.server.sessions.failed(client)
        time.sleep(0.5)     # slows down guessing without bothering people
        self.send_login(HTTPStatus.FORBIDDEN,
                        "That passphrase is not right. Ask whoever looks after "
                        "this computer for the three words.")

    def move(self, body):
        if not self.signed_in(moved=True):
            self.send_json(HTTPStatus.UNAUTHORIZED,
                           {"error": "Sign in with the console passphrase first."})
            return
        try:
            request = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            self.send_json(HTTPStatus.BAD_REQUEST, {"error": "Send the change as JSON."})
            return
        problem = self.server.mix.change(request)
        if problem:
            self.send_json(HTTPStatus.BAD_REQUEST, {"error": problem})
        else:
            self.send_json(HTTPStatus.OK, self.server.mix.snapshot())


# ---------------------------------------------------------------- the app's absence

class Caretaker(threading.Thread):
    """Removes the desk once the application that installed it has been
    emptied from the Trash, as the application promises when it notices
    that it has been deleted.

    data/installed-by-app names the application. While the desk runs it
    looks every DESK_WATCH_SECONDS (30 by default): the application seen in
    the Trash and later gone from there too means the Trash was emptied.
    Then, as soon as nobody uses the console, uninstall.sh runs with
    --mixes-in-home, which puts the user's work in the home folder. An
    application deleted any other way leaves the desk alone.
    """

    def __init__(self, desk):
        super().__init__(daemon=True)
        self.desk = desk
        self.note = os.path.join(desk.folder, "data", "installed-by-app")
        self.every = 30.0
        try:
            self.every = max(0.1, float(os.environ.get("DESK_WATCH_SECONDS", "30")))
        except ValueError:
            pass
        self.seen_in_trash = False
        self.emptied = False

    def app(self):
        try:
            with open(self.note, encoding="utf-8") as f:
                return f.readline().rstrip("\n")
        except (OSError, UnicodeDecodeError):
            return ""

    @staticmethod
    def in_trash(app):
        home = os.path.expanduser("~")
        name = os.path.basename(app.rstrip("/"))
        if name and os.path.lexists(os.path.join(home, ".Trash", name)):
            return True
        data = os.environ.get("XDG_DATA_HOME") or os.path.join(home, ".local", "share")
        info = os.path.join(data, "Trash", "info")
        try:
            entries = os.listdir(info)
        except OSError:
            return False
        for entry in entries:
            if not entry.endswith(".trashinfo"):
                continue
            try:
                with open(os.path.join(info, entry), encoding="utf-8") as f:
                    for line in f:
                        if line.startswith("Path=") and urllib.parse.unquote(
                                line[5:].strip()) == app:
                            files = os.path.join(data, "Trash", "files", entry[:-10])
                            if os.path.lexists(files):
                                return True
            except (OSError, UnicodeDecodeError):
                continue
        return False

    def look(self):
        """One look; true when the desk should remove itself now."""
        app = self.app()
        if not app:
            self.seen_in_trash = False
            return False
        if os.path.lexists(app):
            self.seen_in_trash = self.emptied = False
        elif self.in_trash(app):
            if not self.seen_in_trash:
                log("Quendrel is in the Trash.")
            self.seen_in_trash = True
        elif self.seen_in_trash:
            if not self.emptied:
                log("Quendrel was emptied from the Trash; the console removes itself "
                    "once nobody is using it.")
            self.emptied = True
        return self.emptied and self.desk.sessions.in_use() is None

    def run(self):
        while True:
            time.sleep(self.every)
            try:
                if self.look():
                    self.remove()
                    return
            except Exception as e:      # the console itself must go on
                log("Looking for Quendrel went wrong: %s" % e)

    def remove(self):
        script = os.path.join(self.desk.folder, "uninstall.sh")
        with open(script, encoding="utf-8") as f:
            text = f.read()
        log("Removing the console; your presets and projects go to your home folder.")
        # Its own session: the uninstaller stops this desk and must outlive it.
        subprocess.Popen(["/bin/bash", "-c", text, "uninstall.sh", "--mixes-in-home"],
                         cwd=os.path.expanduser("~"), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True, close_fds=True)


# ---------------------------------------------------------------- running

def serve(folder):
    port = usable_port()
    bind = os.environ.get("DESK_BIND", "0.0.0.0")
    try:
        desk = Desk((bind, port), folder)
    except OSError as e:
        if e.errno in (98, 48):     # address in use (Linux, macOS)
            raise CannotStart("Port %d is already in use by another program, "
                              "so the console cannot start there." % port)
        raise CannotStart("The console could not start: %s." % (e.strerror or e))

    def stop(signum, frame):
        threading.Thread(target=desk.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    Caretaker(desk).start()
    log("The console (version %s) is listening on %s port %d."
        % (desk.version or "unknown", bind, port))
    try:
        desk.serve_forever(poll_interval=0.25)
    finally:
        desk.server_close()
        desk.mix.save()
        log("The console has stopped.")


def main(argv):
    folder = os.getcwd()
    command = argv[1] if len(argv) > 1 else "serve"
    try:
        if command == "port":
            print(usable_port())
            return 0
        if command == "probe":
            print(probe(usable_port()))
            return 0
        if command == "serve":
            serve(folder)
            return 0
    except CannotStart as e:
        print(e, file=sys.stderr if command == "serve" else sys.stdout)
        return EXIT_CANNOT_START
    print("Usage: python -m engine.desk [serve | port | probe]")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
