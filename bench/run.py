#!/usr/bin/env python3
"""Runs every benchmark against a release build and prints one table.

    bench/run.py --build build/bench [--quick] [--only sha256,verify,laydown]

Called by scripts/bench, which builds first. Data sets are generated into a temporary folder,
which goes when the run ends; every program runs with a temporary HOME; network only on
127.0.0.1. Timings are the minimum and the median of at least five runs; ratios are taken of
the medians.
"""
import argparse
import glob
import hashlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MIB = 1 << 20

# The service address the bench build is configured with (scripts/bench passes it to cmake);
# the stand-in service is started there so that Quendrel never reaches beyond loopback.
SERVICE_PORT = int(os.environ.get("QUENDREL_BENCH_SERVICE_PORT", "47651"))

# The benchmarks by the names --only takes, in the order they run.
NAMES = ("sha256", "verify", "move", "laydown", "timeouts", "tick", "tray", "terms")


def say(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(argv, env=None, **kwargs):
    return subprocess.run([str(a) for a in argv], env=env, check=True, **kwargs)


def timed(argv, env=None):
    start = time.perf_counter()
    run(argv, env, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def figures(text, word="seconds"):
    return [float(line.split()[1]) for line in text.splitlines() if line.startswith(word + " ")]


def spread(values, unit="s", digits=3):
    return f"min {min(values):.{digits}f} / med {statistics.median(values):.{digits}f} {unit}"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, name, figure, baseline, ratio, target, verdict):
        self.rows.append((name, figure, baseline, ratio, target, verdict))
        say(f"{name}: {figure} | {baseline} | {ratio} | {verdict}")

    def timing(self, name, ours, base, limit):
        ratio = statistics.median(ours) / statistics.median(base)
        self.add(name, spread(ours), spread(base), f"{ratio:.2f}x", f"<= {limit}x",
                 "met" if ratio <= limit else "missed")

    def show(self):
        head = ("benchmark", "figure", "baseline (same run, same data)", "ratio", "target",
                "verdict")
        rows = [head] + self.rows
        widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
        line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
        print(line(head))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print(line(r))


# Data sets

def fill(path, size, seed):
    """A file of `size` bytes that do not repeat between files (so nothing deduplicates)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        out.write(seed.to_bytes(8, "little"))
        left = size - 8
        while left > 0:
            chunk = os.urandom(min(left, 4 * MIB))
            out.write(chunk)
            left -= len(chunk)


def tree(folder, files, total, seed=0):
    """`files` files totalling about `total` bytes in nested folders: most small, a tenth of
    them large, as in a real payload."""
    large = max(1, files // 10)
    small_size = max(16, total // 4 // (files - large or 1))
    large_size = max(16, (total - small_size * (files - large)) // large)
    for i in range(files):
        size = large_size if i % 10 == 0 else small_size
        fill(folder / f"d{i % 50:02d}" / f"s{(i // 50) % 20:02d}" / f"f{i:05d}.bin", size, seed + i)


def bundle(app, payload_files, payload_bytes, build, key=None):
    """A bundle like ours: Info.plist, the executables, a generated payload; signed with
    `key` when given."""
    contents = app / "Contents"
    (contents / "MacOS").mkdir(parents=True)
    shutil.copy2(build / "bundle" / "Info.plist", contents / "Info.plist")
    shutil.copy2(build / "Quendrel", contents / "MacOS" / "Quendrel")
    payload = contents / "Resources" / "payload"
    tree(payload, payload_files, payload_bytes)
    shutil.copy2(ROOT / "devkit" / "payload" / "agent.sh", payload / "agent.sh")
    shutil.copy2(ROOT / "devkit" / "payload" / "VERSION", payload / "VERSION")
    if key:
        run([build / "quendrel-codesign", "sign", app, "--key", key], stdout=subprocess.DEVNULL)


def files_below(folder):
    return sorted(str(p) for p in Path(folder).rglob("*") if p.is_file() and not p.is_symlink())


# Processes

class Processes:
    """Every long-running process the bench starts, ended (by its own group id) at the end."""

    def __init__(self, logs):
        self.logs = logs
        self.started = []

    def start(self, argv, env, name):
        log = open(self.logs / f"{name}.log", "wb")
        process = subprocess.Popen([str(a) for a in argv], env=env, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        self.started.append(process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is not None:
            return
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()

    def stop_all(self):
        for process in reversed(self.started):
            self.stop(process)


def cpu_seconds(pid):
    """CPU time of every thread the process has now, to the nanosecond (the scheduler's own
    count; /proc/PID/stat rounds to 10 ms ticks)."""
    total = 0
    for schedstat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            total += int(Path(schedstat).read_text().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def private_mib(pid, kinds=("Private_Clean:", "Private_Dirty:")):
    private = 0
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith(kinds):
            private += int(line.split()[1])
    return private / 1024


def descendants(pid):
    """Every process below `pid`, by their parent links."""
    children = {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            fields = Path(stat).read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(stat.split("/")[2]))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


# The benchmarks

class Bench:
    def __init__(self, args):
        self.quick = args.quick
        self.only = set(args.only or NAMES)
        self.build = Path(args.build).resolve()
        self.programs = self.build / "bench-programs"
        self.runs = 5
        self.temp = Path(tempfile.mkdtemp(prefix="quendrel-bench-"))
        self.logs = self.temp / "logs"
        self.logs.mkdir()
        self.table = Table()
        self.processes = Processes(self.logs)
        self.key = self.temp / "signing.key"
        run([self.build / "quendrel-codesign", "keygen", self.key], stdout=subprocess.DEVNULL)

    def wants(self, *names):
        return any(name in self.only for name in names)

    def scale(self, full, quick):
        return quick if self.quick else full

    def home(self, name):
        home = self.temp / name
        (home / "tmp").mkdir(parents=True)
        env = {k: v for k, v in os.environ.items()
               if k not in ("QUENDREL_PORT", "TARVIC_PORT", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(HOME=str(home), TMPDIR=str(home / "tmp"))
        return home, env

    def program(self, name):
        return self.programs / f"bench-{name}"

    # SHA-256 of a download held in memory, against libcrypto's EVP SHA-256 on the same bytes
    # in memory (Python's hashlib is libcrypto's EVP: one update over the whole buffer). The
    # two take turns, so that a busy moment on a shared machine falls on both.
    def sha256(self):
        mib = self.scale(256, 32)
        data = self.temp / "download.img"
        assert hashlib.sha256.__name__ == "openssl_sha256", "hashlib is not libcrypto's"
        ours, base, digests = [], [], set()
        for i in range(self.runs + 1):
            out = run([self.program("sha256"), mib, 1, data], capture_output=True,
                      text=True).stdout
            digests.update(l.split()[1] for l in out.splitlines() if l.startswith("digest "))
            if i == 0:  # the first run makes the data
                held = data.read_bytes()
                continue
            ours += [mib / s for s in figures(out)]
            start = time.perf_counter()
            digests.add(hashlib.sha256(held).hexdigest())
            base.append(mib / (time.perf_counter() - start))
        assert len(digests) == 1, "the digests differ"
        del held
        data.unlink()
        ratio = statistics.median(ours) / statistics.median(base)
        self.table.add(f"SHA-256 of a {mib} MiB download in memory",
                       spread(ours, "MiB/s", 0), "libcrypto EVP: " + spread(base, "MiB/s", 0),
                       f"{ratio:.2f}x", ">= 0.95x", "met" if ratio >= 0.95 else "missed")

    # quendrel-codesign verify, and moving the same bundle into an Applications folder
    def signed_bundle(self):
        files, total = self.scale((5000, 300 * MIB), (500, 30 * MIB))
        app = self.temp / "source" / "Quendrel.app"
        say(f"making a signed bundle of {files} files, {total // MIB} MiB")
        bundle(app, files, total, self.build, self.key)
        return app, files, total

    def verify(self, app, files, total):
        verifier = self.build / "quendrel-codesign"
        timed([verifier, "verify", app])  # warms the page cache for both
        # The limit: hashing the same files with libcrypto on one thread (openssl dgst has no
        # more; verify may use both cores). The two take turns, so that a busy moment on a
        # shared machine falls on both.
        every = files_below(app)
        ours, base = [], []
        for _ in range(self.runs):
            ours.append(timed([verifier, "verify", app]))
            base.append(timed(["openssl", "dgst", "-sha256", *every]))
        self.table.timing(f"quendrel-codesign verify ({files} files, {total // MIB} MiB)",
                          ours, base, 0.75)

    def move(self, app, files, total):
        home, env = self.home("move-home")
        folder = home / "Applications"
        folder.mkdir()
        out = run([self.program("move"), app, folder, self.runs], env, capture_output=True,
                  text=True).stdout
        ours = figures(out)
        base = []
        for _ in range(self.runs):
            target = folder / "Copy.app"
            base.append(timed(["cp", "-a", app, target]))
            shutil.rmtree(target)
        self.table.timing(f"moving a {total // MIB} MiB bundle into Applications", ours, base,
                          2.5)
        shutil.rmtree(home)

    # Laying the desk down over an installation with kept items
    def lay_down(self):
        files, total = self.scale((20000, 500 * MIB), (2000, 50 * MIB))
        kept_files, kept_total = self.scale((2000, 50 * MIB), (200, 5 * MIB))
        say(f"making a payload of {files} files, {total // MIB} MiB")
        app = self.temp / "laydown" / "Quendrel.app"
        bundle(app, files, total, self.build)
        home, env = self.home("laydown-home")
        desk = home / "Library" / "Application Support" / "Quendrel" / "Desk"
        kept = self.temp / "kept"
        names = ["presets", "projects", "data", "logs", ".venv"]
        for i, name in enumerate(names):
            tree(kept / name, kept_files // len(names), kept_total // len(names), 100000 * (i + 1))
        desk.parent.mkdir(parents=True)
        run(["cp", "-a", kept, desk])
        shutil.copy2(ROOT / "devkit" / "payload" / "agent.sh", desk / "agent.sh")
        # Nothing is removed between the timed runs: ext4 without a journal passes over the
        # inodes freed in the last minute one by one when it makes files, so a run after a
        # removal of 20,000 files would time that removal more than its own copying. What a run
        # leaves goes into a spent folder, removed at the end; every run starts with the disk
        # written out, and ours and the baseline take turns.
        spent = self.temp / "spent"
        spent.mkdir()
        payload = app / "Contents" / "Resources" / "payload"
        ours, base = [], []
        for i in range(self.runs):
            ours += figures(run([self.program("laydown"), app, 1, spent], env,
                                capture_output=True, text=True).stdout)
            target = spent / f"cp-{i}"
            os.sync()
            start = time.perf_counter()
            run(["cp", "-a", payload, target])
            run(["cp", "-a", *[kept / n for n in names], target])
            base.append(time.perf_counter() - start)
        self.table.timing(f"laying the desk down ({files} files, {total // MIB} MiB, "
                          f"{kept_total // MIB} MiB kept)", ours, base, 1.3)
        shutil.rmtree(spent)
        shutil.rmtree(home)
        shutil.rmtree(app.parent)
        shutil.rmtree(kept)

    # Desk::look and Desk::busy against a desk that never answers
    def timeouts(self):
        home, env = self.home("silent-home")
        desk = home / "Library" / "Application Support" / "Quendrel" / "Desk"
        desk.mkdir(parents=True)
        shutil.copy2(ROOT / "devkit" / "payload" / "agent.sh", desk / "agent.sh")
        out = run([self.program("timeouts"), self.runs], env, capture_output=True,
                  text=True).stdout
        for word, limit in (("look", 2.1), ("busy", 3.1)):
            times = figures(out, word)
            self.table.add(f"Desk::{word} against a desk that never answers",
                           spread(times) + f", max {max(times):.3f} s", "—", "—",
                           f"returns by {limit} s",
                           "met" if max(times) <= limit else "missed")

    # The reference desk, for the tray and the refresh tick
    def reference_desk(self):
        home, env = self.home("desk-home")
        port = free_port()
        env.update(DESK_SUPERVISOR="process", DESK_BIND="127.0.0.1")
        say(f"laying the reference desk down (desk port {port}, service port {SERVICE_PORT})")
        run([ROOT / "devkit" / "lay-down-by-hand", home, SERVICE_PORT, "123456", port], env,
            stdout=subprocess.DEVNULL)
        self.desk = (home, env, port)
        env["QUENDREL_PORT"] = str(port)
        return home, env, port

    def stop_desk(self):
        home, env, _ = self.desk
        agent = home / "Library" / "Application Support" / "Quendrel" / "Desk" / "agent.sh"
        subprocess.run(["/bin/bash", str(agent), "stop"], env=env, cwd=agent.parent,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid_file = home / "stand-in-service.pid"
        if pid_file.exists():
            pid = int(pid_file.read_text())
            try:
                os.killpg(pid, signal.SIGTERM)  # started with setsid: its own group
            except ProcessLookupError:
                pass

    # CPU of one refresh tick, counted with callgrind
    def tick(self, env):
        counts = {}
        for mode in ("quendrel", "baseline"):
            out = self.temp / f"callgrind-{mode}"
            out.mkdir()
            run(["valgrind", "--tool=callgrind", "--instr-atstart=no",
                 f"--callgrind-out-file={out}/callgrind.out", self.program("tick"), mode,
                 self.runs], env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            counts[mode] = []
            for dump in sorted(out.glob("callgrind.out.*")):
                for line in dump.read_text(errors="replace").splitlines():
                    if line.startswith("totals:"):
                        counts[mode].append(int(line.split()[1]))
                        break
        ours, base = counts["quendrel"], counts["baseline"]
        ratio = statistics.median(ours) / statistics.median(base)
        unit = lambda v: f"min {min(v) / 1e6:.2f} / med {statistics.median(v) / 1e6:.2f} M instr."
        self.table.add("CPU of one refresh tick (probe + menu text), callgrind", unit(ours),
                       "curl GET + 3 stat: " + unit(base), f"{ratio:.2f}x", "<= 2x",
                       "met" if ratio <= 2 else "missed")

    # The tray: launching, memory and idle CPU
    def tray(self, desk_home, desk_env):
        env = dict(desk_env)
        runtime = self.temp / "runtime"
        runtime.mkdir(mode=0o700)
        env.update(XDG_RUNTIME_DIR=str(runtime), QTWEBENGINE_DISABLE_SANDBOX="1")
        read_end, write_end = os.pipe()
        log = open(self.logs / "xvfb.log", "wb")
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                 "640x200x24", "-nolisten", "tcp"], stdout=log,
                                stderr=subprocess.STDOUT, pass_fds=(write_end,),
                                start_new_session=True)
        self.processes.started.append(xvfb)
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            env["DISPLAY"] = ":" + announced.readline().strip()
        self.processes.start(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                              "request", "--height", "24", "--SetDockType", "true"], env,
                             "trayer")

        def x(*argv):
            done = subprocess.run(argv, env=env, capture_output=True, text=True)
            return done.stdout if done.returncode == 0 else ""

        def tray_window():
            for window in x("xdotool", "search", "--class", "trayer").split():
                if "IsViewable" in x("xwininfo", "-id", window):
                    return window
            return None

        def width(window):
            for line in x("xwininfo", "-id", window).splitlines():
                if line.strip().startswith("Width:"):
                    return int(line.split(":")[1])
            return 0

        def wait(check, seconds, pause=0.01):
            deadline = time.monotonic() + seconds
            while not (answer := check()) and time.monotonic() < deadline:
                time.sleep(pause)
            return answer

        window = wait(tray_window, 30, 0.2)
        assert window, "trayer did not show its panel"
        empty = width(window)

        installed = desk_home / "Applications" / "Quendrel.app"
        shutil.copytree(self.build / "Quendrel.app", installed, symlinks=True)
        quendrel = [installed / "Contents" / "MacOS" / "Quendrel"]
        baseline = [self.program("tray")]

        def launch(argv, name):
            start = time.perf_counter()
            process = self.processes.start(argv, env, name)
            shown = wait(lambda: width(window) > empty or process.poll() is not None, 60)
            took = time.perf_counter() - start
            assert process.poll() is None and shown, f"{name} did not reach the tray"
            return process, took

        if self.wants("tray"):
            launches = {"quendrel": [], "baseline": []}
            for _ in range(self.runs):
                for name, argv in (("quendrel", quendrel), ("baseline", baseline)):
                    process, took = launch(argv, name)
                    launches[name].append(took)
                    Processes.stop(process)
                    wait(lambda: width(window) <= empty, 30)
            self.table.timing("launch to the knob in the tray (Xvfb + trayer, desk running)",
                              launches["quendrel"], launches["baseline"], 1.2)

            # Each alone (so that the pages of the libraries they share are not shared between
            # them), idle for a minute.
            idle = self.scale(60, 10)
            seen = {}
            for name, argv in (("quendrel", quendrel), ("baseline", baseline)):
                process, _ = launch(argv, name + "-idle")
                time.sleep(2)
                before = cpu_seconds(process.pid)
                say(f"{name}: {idle} idle seconds")
                time.sleep(idle)
                engines = [p for p in descendants(process.pid)
                           if "QtWebEngine" in Path(f"/proc/{p}/comm").read_text()]
                seen[name] = ((cpu_seconds(process.pid) - before) * 1000, private_mib(process.pid),
                              private_mib(process.pid, "Private_Dirty:"), engines)
                Processes.stop(process)
                wait(lambda: width(window) <= empty, 30)
            ours, base = seen["quendrel"], seen["baseline"]
            ratio = ours[1] / base[1]
            self.table.add(f"private memory (USS) of an idle Quendrel after {idle} s",
                           f"{ours[1]:.1f} MiB (dirty {ours[2]:.1f})"
                           + (" (web engine running!)" if ours[3] else ", no web engine"),
                           f"minimal Qt tray: {base[1]:.1f} MiB (dirty {base[2]:.1f})",
                           f"{ratio:.2f}x", "<= 1.3x",
                           "met" if ratio <= 1.3 and not ours[3] else "missed")
            self.table.add(f"CPU over {idle} idle seconds, desk running",
                           f"{ours[0]:.1f} ms", f"minimal Qt tray: {base[0]:.1f} ms",
                           "—", "<= 10 ms" + (" (per 60 s)" if idle != 60 else ""),
                           "met" if ours[0] <= 10 * idle / 60 else "missed")
        if self.wants("terms"):
            self.terms_sheet(env, x, wait)

    def terms_sheet(self, env, x, wait):
        """Quendrel in a home that is not set up shows its setup window; a code typed there
        opens the terms sheet, and Escape closes it. Its private memory is taken before the
        sheet opens and after it has closed."""
        home, fresh = self.home("terms-home")
        fresh.update(DISPLAY=env["DISPLAY"], XDG_RUNTIME_DIR=env["XDG_RUNTIME_DIR"],
                     QTWEBENGINE_DISABLE_SANDBOX="1")
        installed = home / "Applications" / "Quendrel.app"
        shutil.copytree(self.build / "Quendrel.app", installed, symlinks=True)
        process = self.processes.start([installed / "Contents" / "MacOS" / "Quendrel"], fresh,
                                       "quendrel-terms")

        def windows(*criteria):
            return x("xdotool", "search", "--onlyvisible", *criteria).split()

        def named(word):
            found = []
            for p in descendants(process.pid):
                try:
                    if word in Path(f"/proc/{p}/comm").read_text():
                        found.append(p)
                except OSError:
                    pass
            return found

        def sheets():
            return named("quendrel-terms")

        def engines():
            return named("QtWebEngine")

        def mib(pid):
            try:
                return private_mib(pid)
            except OSError:
                return 0

        setup = wait(lambda: windows("--name", "^Set up Quendrel$"), 60, 0.2)
        assert setup, "the setup window did not appear"
        time.sleep(3)
        before = private_mib(process.pid)
        x("xdotool", "windowfocus", "--sync", setup[0])
        x("xdotool", "type", "--delay", "20", "123456")
        x("xdotool", "key", "Return")
        helper = wait(sheets, 30, 0.1)
        assert helper, "the terms sheet did not open"
        sheet = wait(lambda: windows("--pid", str(helper[0])), 60, 0.2)
        assert sheet, "the terms sheet did not show"
        time.sleep(3)
        opened = sum(mib(p) for p in [helper[0], *descendants(helper[0])])
        x("xdotool", "windowfocus", "--sync", sheet[0])
        x("xdotool", "key", "Escape")
        assert wait(lambda: not sheets(), 30, 0.1), "the terms sheet did not close"
        time.sleep(3)
        after = private_mib(process.pid)
        left = engines()
        Processes.stop(process)
        grew = after - before
        self.table.add("private memory after the terms sheet opened and closed",
                       f"{after:.1f} MiB (+{grew:.1f}); "
                       + ("web engine still running!" if left else "no web engine left"),
                       f"before it opened: {before:.1f} MiB (the sheet's own processes: "
                       f"{opened:.0f} MiB while open)",
                       f"+{grew:.1f} MiB", "no web engine left; <= +5 MiB",
                       "met" if grew <= 5 and not left else "missed")

    def all(self):
        try:
            if self.wants("sha256"):
                self.sha256()
            if self.wants("verify", "move"):
                app, files, total = self.signed_bundle()
                if self.wants("verify"):
                    self.verify(app, files, total)
                if self.wants("move"):
                    self.move(app, files, total)
                shutil.rmtree(app.parent)
            if self.wants("laydown"):
                self.lay_down()
            if self.wants("timeouts"):
                self.timeouts()
            if self.wants("tick", "tray", "terms"):
                home, env, _ = self.reference_desk()
                try:
                    if self.wants("tick"):
                        self.tick(env)
                    if self.wants("tray", "terms"):
                        self.tray(home, env)
                finally:
                    self.processes.stop_all()
                    self.stop_desk()
        finally:
            self.processes.stop_all()
            shutil.rmtree(self.temp, ignore_errors=True)
        print()
        print(f"Quendrel benchmarks{' (--quick: smaller data, shorter idle)' if self.quick else ''}"
              f" — {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
              f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
        self.table.show()


def names(text):
    chosen = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in chosen if name not in NAMES]
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(f"not benchmarks: {', '.join(unknown) or text!r}; "
                                         f"choose from {','.join(NAMES)}")
    return chosen


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build" / "bench"))
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", type=names, metavar="NAME,...",
                        help="run only these benchmarks: " + ",".join(NAMES))
    Bench(parser.parse_args()).all()


if __name__ == "__main__":
    main()
