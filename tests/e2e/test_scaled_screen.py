# SPDX-License-Identifier: MIT
"""The GTK 3 program on a screen scaled by 2 (GDK_SCALE=2, as a HiDPI desktop at 200 % sets it):
its window is twice the size, sharp rather than small, and keeps the dialog's layout, wider than
tall. The sizes are the X window's own (xwininfo): the accessibility bus reports them unscaled."""

import re
import unittest

from pinman_e2e import Program, ProgramCase, run


def window_size(wid):
    out = run(["xwininfo", "-id", wid], capture_output=True, text=True, check=True).stdout
    return tuple(int(re.search(r"%s: +([0-9]+)" % key, out).group(1)) for key in ("Width", "Height"))


class ScaledScreen(ProgramCase):
    def size(self, name, scale):
        p = Program(name)
        self.addCleanup(p.stop)
        p.start({"GDK_SCALE": scale})
        wid = p.window("Pin Manager")
        p.screenshot("main-window", p.showing_frame())
        size = window_size(wid)
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)
        return size

    def test_the_window_doubles_and_keeps_its_layout(self):
        width, height = self.size("scale-1", "1")
        scaled_width, scaled_height = self.size("scale-2", "2")
        self.assertGreater(width, height)
        self.assertEqual((scaled_width, scaled_height), (2 * width, 2 * height))


if __name__ == "__main__":
    unittest.main(verbosity=2)
