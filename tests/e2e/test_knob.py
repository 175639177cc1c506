#!/usr/bin/env python3
"""The real bundle in a real system tray (trayer), on a dark and on a light panel: the knob
shows in the panel's colour (in the foreground the tray names in _NET_SYSTEM_TRAY_COLORS where
it names one, else after the settings portal's light or dark preference) and is redrawn when
either changes or a new tray takes it; opening Quendrel again hands over to the running copy,
and SIGTERM ends it. Prints, for each step, the share of the knob's opaque area that differs
clearly from the panel.

Run: BUILD_ROOT=build /usr/bin/python3 tests/e2e/test_knob.py
"""
import subprocess
import unittest

from desktop import BUILD_ROOT, Desktop, wait_for

BUS = """<busconfig><type>session</type><listen>unix:path={}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>"""


def luminances(image, *options):
    return list(subprocess.run(["convert", str(image), *options, "-depth", "8", "gray:-"],
                               check=True, capture_output=True).stdout)


class Knob(Desktop):
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
                shot = luminances(self.screenshot(tray, name), "-colorspace", "gray")
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


if __name__ == "__main__":
    unittest.main()
