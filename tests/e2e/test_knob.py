#!/usr/bin/env python3
"""The knob in the panel's colour, on a dark and on a light trayer: in the foreground the tray
names in _NET_SYSTEM_TRAY_COLORS where it names one, else after the settings portal's light or
dark preference; redrawn when either changes. Prints, for each, the share of the knob's opaque
area that differs clearly from the panel.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_knob.py
"""
import os
import shutil
import subprocess
import unittest

from desktop import BUILD_ROOT, BUNDLE, Desktop, wait_for

BUS = """<busconfig><type>session</type><listen>unix:path={}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>"""


def luminances(image, *options):
    data = subprocess.run(["convert", str(image), *options, "-depth", "8", "gray:-"], check=True,
                          capture_output=True).stdout
    return list(data)


class Knob(Desktop):
    TOOLS = Desktop.TOOLS + ("convert", "xprop", "dbus-daemon")

    def setUp(self):
        super().setUp()
        (self.temp / "bus.conf").write_text(BUS.format(self.temp / "bus"))
        read_end, write_end = os.pipe()
        self.spawn(["dbus-daemon", "--nofork", "--config-file", self.temp / "bus.conf",
                    f"--print-address={write_end}"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            self.env["DBUS_SESSION_BUS_ADDRESS"] = announced.readline().strip()

    def clear_share(self, tray, name):
        """The share of the knob's area that differs from the panel's luminance by more than a
        quarter of the scale."""
        shot = luminances(self.screenshot(tray, name), "-colorspace", "gray")
        panel = max(set(shot), key=shot.count)
        return sum(abs(v - panel) > 64 for v in shot) / self.area

    def on_trayer(self, *change):
        """Changes a property of each of trayer's windows, the tray manager's (named, without a
        class) among them."""
        for by in ("--class", "--name"):
            for window in self.x("xdotool", "search", by, "trayer").split():
                self.x("xprop", "-id", window, *change)

    def follow(self, tint, ink, prefers, opposite):
        """On a trayer of this tint: clear in the scheme the desktop `prefers`, lost in the
        `opposite` one, clear again in the foreground `ink` the tray names, whatever the scheme."""
        shutil.copytree(BUNDLE, self.app, symlinks=True)
        portal, log = self.spawn([BUILD_ROOT / "tests/test-portal", prefers], stdin=subprocess.PIPE)
        self.addCleanup(portal.stdin.close)
        self.assertTrue(wait_for(lambda: "ready" in log.read_text(), 30), "no portal")
        tinted = ("--transparent", "true", "--alpha", "0", "--tint", tint)
        tray, _ = self.start_in_tray(*tinted)
        # The knob's area: the pixels of its icon at the tray's height at least a quarter opaque.
        side = self.width(tray, "Height")
        icons = self.home / f".local/share/icons/hicolor/{side}x{side}/apps"
        icon = wait_for(lambda: next(icons.glob("*.png"), None), 30)
        self.area = sum(a > 64 for a in luminances(icon, "-alpha", "extract"))

        def seen(case, clear):
            name = f"knob-{tint}-{case}.png"
            came = wait_for(lambda: (self.clear_share(tray, name) >= 0.2) == clear, 30)
            print(f"{name}: {self.clear_share(tray, name):.0%} of the knob clear")
            self.assertTrue(came, f"the knob is {'not ' * (not clear)}lost in the panel ({name})")
        seen("preference", True)
        portal.stdin.write(f"{opposite}\n".encode())
        portal.stdin.flush()
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

    def test_on_a_dark_panel(self):
        self.follow("0x000000", 0xeeee, prefers=1, opposite=2)

    def test_on_a_light_panel(self):
        self.follow("0xffffff", 0x2222, prefers=2, opposite=1)


if __name__ == "__main__":
    unittest.main()
