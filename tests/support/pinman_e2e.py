# SPDX-License-Identifier: MIT
"""Drives the real Pin Manager program on a private display as a card holder would: it reads
the boxes through the accessibility bus, as a screen reader does, types with xdotool and keeps
screenshots as test artifacts.

The tests run inside `with-xvfb.sh dbus-run-session -- /usr/bin/python3 TEST.py`; the build
passes PINMAN_STAGE (the stage folder), PINMAN_ARTIFACTS, PINMAN_CLOGCAT and
PINMAN_SIMCARD_CARD."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import pyatspi
from Xlib import X, display, protocol

STAGE = os.environ.get("PINMAN_STAGE", "")
ARTIFACTS = os.environ.get("PINMAN_ARTIFACTS", tempfile.gettempdir())
CLOGCAT = os.environ.get("PINMAN_CLOGCAT", "")
SIMCARD_CARD = os.environ.get("PINMAN_SIMCARD_CARD", "")
# A command the program runs under (valgrind, for one), and how much slower that makes it.
WRAPPER = os.environ.get("PINMAN_E2E_WRAPPER", "").split()
SLOW = float(os.environ.get("PINMAN_E2E_SLOW", "1"))

PROGRAM_FILES = ["gtkzorvpin", "gtkzorvpin.glade", "libsimcard.so"]
# The program alone, for a configuration that names a module outside its folder.
PROGRAM_ONLY = ["gtkzorvpin", "gtkzorvpin.glade"]


def wait_until(condition, timeout=20.0, step=0.1):
    """Polls `condition` until it returns something true; returns that, or None."""
    end = time.monotonic() + timeout * SLOW
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            return None
        time.sleep(step)


class Card:
    """The simulated card's state file in the program's folder, read as the card reads it by
    the card's own command (PINMAN_SIMCARD_CARD, simcard-card)."""

    def __init__(self, path):
        self.path = path

    def value(self, key, reader=0):
        """The decoded value of `key` in reader section `reader`, or None when absent."""
        out = subprocess.run([SIMCARD_CARD, "get", self.path, key, str(reader)], capture_output=True)
        if out.returncode != 0:
            if out.stderr:
                raise AssertionError(out.stderr.decode("utf-8", errors="replace"))
            return None
        return out.stdout[:-1].decode("utf-8")


class Program:
    """One run of gtkzorvpin from a folder of its own, on a new demo card."""

    def __init__(self, name, conf="pkcs11=libsimcard.so\n", files=PROGRAM_FILES, state=None,
                 simulated_card=True):
        """simulated_card=False: no card state file in the folder (give `files` without the
        simulated card, e.g. PROGRAM_ONLY, and a `conf` naming the module to use);
        conf=None: no configuration file."""
        self.name = name
        self.dir = tempfile.mkdtemp(prefix="pinman-e2e.")
        for f in files:
            shutil.copy2(os.path.join(STAGE, f), self.dir)
        if os.path.isdir(os.path.join(STAGE, "gtkzorvpin-lc")):
            shutil.copytree(os.path.join(STAGE, "gtkzorvpin-lc"), os.path.join(self.dir, "gtkzorvpin-lc"))
        if simulated_card:
            # A fresh demo card made by the card's own command, never the stage's card (the
            # developer's to change, and private to its owner); `state` replaces its state.
            subprocess.run([SIMCARD_CARD, "make", self.dir], check=True)
            if state is not None:
                with open(os.path.join(self.dir, "simcard.state"), "w", encoding="utf-8") as f:
                    f.write(state)
        if conf is not None:
            with open(os.path.join(self.dir, "gtkzorvpin.conf"), "w", encoding="utf-8") as f:
                f.write(conf)
        self.card = Card(os.path.join(self.dir, "simcard.state"))
        self.trace_path = os.path.join(self.dir, "simcard.trace")
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.process = None
        self.shots = 0

    def start(self, extra_env=None):
        env = dict(os.environ)
        env.update({
            "SIMCARD_STATE": self.card.path,
            "SIMCARD_TRACE": self.trace_path,
            "GTK_MODULES": "gail:atk-bridge",
            "NO_AT_BRIDGE": "0",
            "LANG": "C.UTF-8",
            "GTK2_RC_FILES": os.path.join(os.path.dirname(__file__), "test-gtkrc"),
        })
        env.pop("LANGUAGE", None)
        env.update(extra_env or {})
        self._stderr = open(self.stderr_path, "wb")
        # The wrapper may write there too (valgrind's log), before any screenshot is taken.
        os.makedirs(ARTIFACTS, exist_ok=True)
        # Started from another folder: the program must find its files beside itself.
        self.process = subprocess.Popen(WRAPPER + [os.path.join(self.dir, "gtkzorvpin")], cwd="/",
                                        stderr=self._stderr, env=env)
        return self

    def keep_diagnostics(self):
        """Saves the standard error and the stacks of all threads of the running program to
        ARTIFACTS/<name>-<pid>.*.txt and prints both, for a test that timed out on it."""
        os.makedirs(ARTIFACTS, exist_ok=True)
        base = os.path.join(ARTIFACTS, "%s-%d" % (self.name, self.process.pid))
        shutil.copyfile(self.stderr_path, base + ".stderr.txt")
        if WRAPPER and os.path.basename(WRAPPER[0]) == "valgrind":
            # Under valgrind the stacks are the program's, as its gdbserver sees them.
            command = ["vgdb", "--pid=%d" % self.process.pid, "v.info", "scheduler"]
        else:
            command = ["gdb", "-p", str(self.process.pid), "-batch", "-nx",
                       "-ex", "thread apply all bt"]
        try:
            stack = subprocess.run(command, capture_output=True, text=True, timeout=60 * SLOW)
            text = stack.stdout + stack.stderr
        except (OSError, subprocess.TimeoutExpired) as e:
            text = "no stack: %s\n" % e
        with open(base + ".stack.txt", "w", encoding="utf-8") as f:
            f.write(text)
        sys.stderr.write("\n--- %s (pid %d) was still running; standard error:\n%s\n--- its stacks:\n%s"
                         % (self.name, self.process.pid, self.stderr(), text))

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def trace(self):
        if not os.path.exists(self.trace_path):
            return ""
        with open(self.trace_path, encoding="utf-8") as f:
            return f.read()

    def wait_exit(self, timeout=20):
        try:
            return self.process.wait(timeout * SLOW)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.process and self.process.poll() is None:
            # Still running when the test is over: the test gave up waiting for it. Keep what
            # tells why before the kill removes it.
            self.keep_diagnostics()
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()
        if self.process:
            self._stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- windows -------------------------------------------------------------------------

    def window(self, title, timeout=20):
        """The X window id of the program's visible window with this exact title."""
        def find():
            if self.process.poll() is not None:
                return "gone"
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid),
                                  "--name", "^%s$" % re.escape(title)], capture_output=True, text=True)
            # xdotool also lists windows that have no name at all: check each name.
            for wid in out.stdout.split():
                name = subprocess.run(["xdotool", "getwindowname", wid], capture_output=True, text=True)
                if name.returncode == 0 and name.stdout.rstrip("\n") == title:
                    return wid
            return None
        wid = wait_until(find, timeout)
        return None if wid in (None, "gone") else wid

    def screenshot(self, what):
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.shots += 1
        path = os.path.join(ARTIFACTS, "%s-%02d-%s.png" % (self.name, self.shots, what))
        time.sleep(0.3)
        subprocess.run(["import", "-window", "root", path], check=False)
        return path

    def close_window(self, wid):
        """Asks the window to close, as a window manager's close button does, and returns once
        the X server has carried out the request. (Xvfb drops what it has not yet read from a
        client that has hung up: a connection closed right after the send lost the request now
        and then.)"""
        d = display.Display()
        win = d.create_resource_object("window", int(wid))
        protocols = d.intern_atom("WM_PROTOCOLS")
        delete = d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=win, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        win.send_event(event, event_mask=X.NoEventMask)
        d.sync()  # a round trip: the server has carried out the send before it
        d.close()

    # --- the accessible tree -------------------------------------------------------------

    def app(self, timeout=20):
        def find():
            for app in pyatspi.Registry.getDesktop(0):
                try:
                    if app is not None and app.get_process_id() == self.process.pid:
                        return app
                except Exception:
                    pass
            return None
        return wait_until(find, timeout)

    def alert(self, timeout=20):
        """The message box now open, or None."""
        def find():
            app = self.app(1)
            if app is None:
                return None
            for i in range(app.childCount):
                child = app.getChildAtIndex(i)
                if child is not None and child.getRole() == pyatspi.ROLE_ALERT and \
                        child.getState().contains(pyatspi.STATE_SHOWING):
                    return child
            return None
        return wait_until(find, timeout, 0.2)

    def box(self, timeout=20):
        """Reads the open message box as a screen reader would: (kind, text, accessible)."""
        alert = self.alert(timeout)
        if alert is None:
            return None, None, None
        texts = [a.name for a in descendants(alert) if a.getRole() == pyatspi.ROLE_LABEL and a.name]
        return alert.name, "\n".join(texts), alert

    def answer_box(self, alert, screenshot=None):
        if screenshot:
            self.screenshot(screenshot)
        button = find(alert, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON)
        button.queryAction().doAction(0)
        wait_until(lambda: self.alert(0.5) is None, 10, 0.2)

    def main_frame(self):
        return find(self.app(), lambda a: a.getRole() == pyatspi.ROLE_FRAME and a.name == "Pin Manager")

    def tabs(self):
        tablist = find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB_LIST)
        return [tablist.getChildAtIndex(i).name for i in range(tablist.childCount)]

    def click(self, accessible):
        x, y, w, h = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", "--sync", str(x + w // 2), str(y + h // 2), "click", "1"],
                       check=True)

    def current_tab(self):
        tablist = find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB_LIST)
        return tablist.querySelection().getSelectedChild(0)

    def show_page(self, title):
        tab = find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB and a.name == title)
        self.click(tab)
        if not wait_until(lambda: self.current_tab().name == title, 5):
            raise AssertionError("the page %r did not come up" % title)

    def field(self, label):
        """The text field that the label with this text names (its mnemonic widget)."""
        tab = self.current_tab()
        lab = find(tab, lambda a: a.getRole() == pyatspi.ROLE_LABEL and a.name == label)
        for relation in lab.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABEL_FOR:
                return relation.getTarget(0)
        raise AssertionError("label %r names no field" % label)

    def type_in(self, wid, label, text):
        self.click(self.field(label))
        subprocess.run(["xdotool", "windowfocus", "--sync", wid, "type", "--delay", "15", text], check=True)

    def key(self, wid, *keys):
        subprocess.run(["xdotool", "windowfocus", "--sync", wid, "key", "--delay", "30"] + list(keys),
                       check=True)

    def press(self, button_name):
        button = find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and
                      a.name == button_name)
        button.queryAction().doAction(0)


class ProgramCase(unittest.TestCase):
    """A test of the running program that reads its boxes."""

    def expect_box(self, p, text, shot=None):
        """The open box reads `text`; answers it, keeping a screenshot named `shot` if given."""
        kind, seen, alert = p.box()
        self.assertEqual(seen, text, p.stderr())
        p.answer_box(alert, shot)


def descendants(acc):
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        yield from descendants(child)


def find(acc, predicate):
    for a in descendants(acc):
        if predicate(a):
            return a
    raise AssertionError("no such element below %r" % (acc.name if acc else None))
