# SPDX-License-Identifier: MIT
"""The real program started from a prepared folder on a private display: its diagnostic lines,
its windows and boxes, and its exit status."""

import os
import re
import unittest

import shown_texts as shown
from pinman_e2e import STAGE, Program

NO_EXPIRY = "pkcs11=libsimcard.so\n"


class StartUp(unittest.TestCase):
    def run_program(self, name, conf=NO_EXPIRY, **kwargs):
        program = Program(name, conf, **kwargs)
        self.addCleanup(program.stop)
        return program.start()

    def test_normal_start_diagnostics_and_cancel(self):
        p = self.run_program("start")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        self.assertEqual(p.tabs(), ["Change PIN", "Unblock PIN", "Change PUK"])
        p.screenshot("main-window", p.main_frame())
        d = p.dir
        expected = ("Conf: {d}/gtkzorvpin.conf\nCHDIR to: '{d}'\nlocale path: {d}/gtkzorvpin-lc\n"
                    "GLADE builder: 0x[0-9a-f]+\nCHDIR to: '{d}'\nPKCS11-2: '{d}/libsimcard.so'\n$")
        self.assertRegex(p.stderr(), "^" + expected.format(d=re.escape(d)))
        # The PINs the fields hold reach no core file and no other process of the user.
        with open("/proc/%d/limits" % p.process.pid, encoding="utf-8") as f:
            self.assertRegex(f.read(), r"\nMax core file size +0 +0 ")
        if os.getuid() != 0:
            # A process that is not dumpable has its /proc entries owned by root.
            self.assertEqual(os.stat("/proc/%d/status" % p.process.pid).st_uid, 0)
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)
        self.assertNotIn("C_Finalize", p.trace())

    def test_closing_the_window_ends_with_status_zero(self):
        p = self.run_program("close")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid)
        p.close_window(wid)
        self.assertEqual(p.wait_exit(), 0)

    def test_configuration_hides_pages(self):
        # From the file to the tabs once; every combination of pages is checked in-process.
        p = self.run_program("hide", NO_EXPIRY + "showunblock=false\nshowpuk=false\n")
        self.assertIsNotNone(p.window("Pin Manager"), p.stderr())
        self.assertEqual(p.tabs(), ["Change PIN"])
        p.screenshot("pages-ChangePIN", p.main_frame())
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)

    def test_missing_module_one_box_no_window_status_one(self):
        # Start-up's failures show their box from one branch; each box is checked in-process.
        p = self.run_program("nomodule", "pkcs11=libmissing.so\n")
        kind, text, alert = p.box()
        self.assertEqual(text, shown.NO_LIBRARY, p.stderr())
        self.assertTrue(p.stays_without(lambda: p.find_window("Pin Manager"), 0.5))
        p.answer_box(alert, "error-box")
        self.assertEqual(p.wait_exit(), 1)
        self.assertIn("PKCS11-2: '%s/libmissing.so'" % p.dir, p.stderr())

    def test_an_unusable_interface_file_one_box_status_one(self):
        # A file without one of the program's widgets (each widget, and a missing file, is
        # checked in-process), and two that the loader refuses instead of crashing on: a class
        # named after a function that is no type, and boxes nested 40,000 deep.
        with open(os.path.join(STAGE, "gtkzorvpin.glade"), encoding="utf-8") as f:
            shipped = f.read()
        depth = 40000
        cases = {
            "noentry": shipped.replace('id="entry3"', 'id="entryThree"'),
            "function-class": '<glade-interface><widget class="G_variant" id="dialog1"/></glade-interface>',
            "deep": '<glade-interface><widget class="GtkWindow" id="dialog1">' +
                    '<child><widget class="GtkVBox" id="b">' * depth + '</widget></child>' * depth +
                    '</widget></glade-interface>',
        }
        for name, glade in cases.items():
            with self.subTest(name=name):
                p = Program(name, NO_EXPIRY, files=["gtkzorvpin", "libsimcard.so"])
                self.addCleanup(p.stop)
                with open(os.path.join(p.dir, "gtkzorvpin.glade"), "w", encoding="utf-8") as f:
                    f.write(glade)
                p.start()
                kind, text, alert = p.box()
                self.assertEqual(text, shown.NO_INTERFACE_FILE + "\n%s/gtkzorvpin.glade" % p.dir, p.stderr())
                p.answer_box(alert, "error-box")
                self.assertEqual(p.wait_exit(), 1)
                self.assertIn("Unable to load the interface file '%s/gtkzorvpin.glade'" % p.dir, p.stderr())
                self.assertNotIn("PKCS11-2", p.stderr(), "the card module is not touched")
                if name == "noentry":  # (libglade itself is loud about the deep file)
                    self.assertNotIn("CRITICAL", p.stderr())

    def test_a_fifo_or_a_world_writable_file_as_configuration_is_not_read(self):
        # Neither blocks start-up nor names the module: the default module, not found on the
        # loader's path, is asked for instead.
        for kind in ("fifo", "world-writable"):
            with self.subTest(kind=kind):
                p = Program("conf-" + kind, NO_EXPIRY)
                self.addCleanup(p.stop)
                conf = os.path.join(p.dir, "gtkzorvpin.conf")
                if kind == "fifo":
                    os.remove(conf)
                    os.mkfifo(conf)
                else:
                    os.chmod(conf, 0o666)
                p.start()
                kind_, text, alert = p.box()
                self.assertEqual(text, shown.NO_LIBRARY, p.stderr())
                p.answer_box(alert)
                self.assertEqual(p.wait_exit(), 1)
                self.assertIn("PKCS11-2: ''\n", p.stderr())
                self.assertIn("Not using '%s': " % conf, p.stderr())

    def test_a_leak_of_our_own_fails_the_valgrind_run(self):
        probe = os.environ.get("PINMAN_LEAK_PROBE")
        if not probe:
            self.skipTest("only under valgrind")
        # The quickest complete run, once as it is and once with lost blocks of our own.
        for extra_env, status in (({}, 1), ({"LD_PRELOAD": probe}, 99)):
            with self.subTest(extra_env=extra_env):
                p = Program("leak", NO_EXPIRY, files=["gtkzorvpin", "libsimcard.so"])
                self.addCleanup(p.stop)
                p.start(extra_env)
                kind, text, alert = p.box()
                self.assertIsNotNone(alert, p.stderr())
                p.answer_box(alert)
                self.assertEqual(p.wait_exit(), status)

    def test_certificate_warning_before_the_main_window(self):
        p = self.run_program("expiry", NO_EXPIRY + "checkexpire=2592000\n")
        kind, text, alert = p.box()
        self.assertIsNotNone(alert, p.stderr())
        self.assertTrue(text.startswith(shown.CERTIFICATES_STATUS + shown.EXPIRING_LINE + "'"), text)
        self.assertTrue(p.stays_without(lambda: p.find_window("Pin Manager"), 0.3),
                        "the dialog waits for the box")
        p.answer_box(alert, "certificate-warning")
        self.assertIsNotNone(p.window("Pin Manager"))
        err = p.stderr()
        self.assertIn("checkExpire: '2592000'\n", err)
        self.assertIn("CheckExpire()\nOpenSession OK\nFound 2 objects\n", err)
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)

    def test_no_check_for_a_window_of_zero_or_less(self):
        # What the file's values are read as is checked in-process; here one below one reaches
        # start-up's check, which it skips.
        p = self.run_program("nocheck", NO_EXPIRY + "checkexpire=-5\n")
        self.assertIsNotNone(p.window("Pin Manager"), p.stderr())
        self.assertTrue(p.stays_without(p.showing_box, 0.3))
        self.assertIn("checkExpire: '-5'", p.stderr())
        self.assertNotIn("CheckExpire()", p.stderr())
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
