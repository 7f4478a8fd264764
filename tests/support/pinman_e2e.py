# SPDX-License-Identifier: MIT
"""Drives the real Pin Manager program on a private display as a card holder would: it reads
the boxes through the accessibility bus, as a screen reader does, presses buttons through it
without waiting for their handlers, types with xdotool and keeps screenshots as test artifacts.
A wait for what the program shows ends when it shows, or at once when the program has ended.

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
import shown_texts
from gi.repository import Gio, GLib
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
# The labels of each page's three fields, in order.
PAGE_FIELDS = {"Change PIN": ("Current PIN:", "New PIN:", "Confirm new PIN:"),
               "Unblock PIN": ("PUK:", "New PIN:", "Confirm new PIN:"),
               "Change PUK": ("Current PUK:", "New PUK:", "Confirm new PUK:")}
# The names Program.info gives the fields of Info's box (shown_texts.CARD_INFO), in its order.
CARD_INFO_FIELDS = ("serial", "label", "model", "min_pin", "max_pin", "reader", "pin_status", "puk_status")


def run(command, **kwargs):
    """subprocess.run of a helper command (xdotool, gdb, ...); one that hangs fails the test."""
    return subprocess.run(command, timeout=60, **kwargs)


class Card:
    """The simulated card's state file in the program's folder, read as the card reads it by
    the card's own command (PINMAN_SIMCARD_CARD, simcard-card)."""

    def __init__(self, path):
        self.path = path

    def value(self, key, reader=0):
        """The decoded value of `key` in reader section `reader`, or None when absent."""
        out = run([SIMCARD_CARD, "get", self.path, key, str(reader)], capture_output=True)
        if out.returncode != 0:
            if out.stderr:
                raise AssertionError(out.stderr.decode("utf-8", errors="replace"))
            return None
        return out.stdout[:-1].decode("utf-8")


def toolkit(program):
    """The GTK version the program is built on: 3 when it links GTK 3, else 2."""
    with open(program, "rb") as f:
        return 3 if b"libgtk-3.so.0" in f.read() else 2


def accessibility_env(program):
    """What the program needs in its environment to be read through the accessibility bus:
    GTK 2 reaches the bus through the modules GTK_MODULES names (and gets the tests' steady
    style); GTK 3 has the bridge built in and needs no module."""
    env = {"NO_AT_BRIDGE": "0"}
    if toolkit(program) == 2:
        env.update({"GTK_MODULES": "gail:atk-bridge",
                    "GTK2_RC_FILES": os.path.join(os.path.dirname(__file__), "test-gtkrc")})
    return env


_a11y_bus = []  # this process's own connection to the accessibility bus, once made


def do_action(accessible):
    """Runs the accessible's first action (a button's click) by a D-Bus call that expects no
    reply: GTK 3 runs the handler inside the call, and a modal box it opens would hold a caller."""
    if not _a11y_bus:
        session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, None,
                                    Gio.DBusCallFlags.NONE, 10000, None).unpack()[0]
        _a11y_bus.append(Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION))
    _a11y_bus[0].call(accessible.app.bus_name, accessible.path, "org.a11y.atspi.Action", "DoAction",
                      GLib.Variant("(i)", (0,)), None, Gio.DBusCallFlags.NONE, -1)
    _a11y_bus[0].flush_sync()


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
            run([SIMCARD_CARD, "make", self.dir], check=True)
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
        self._app = None

    def start(self, extra_env=None):
        env = dict(os.environ)
        env.update({
            "SIMCARD_STATE": self.card.path,
            "SIMCARD_TRACE": self.trace_path,
            "LANG": "C.UTF-8",
        })
        env.update(accessibility_env(os.path.join(self.dir, "gtkzorvpin")))
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
            stack = run(command, capture_output=True, text=True)
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
            self.process.wait(60)
        if self.process:
            self._stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def wait_for(self, what, query, timeout=20):
        """Polls `query`, which does not wait itself, until it returns something true, and
        returns that. Fails after `timeout` seconds times SLOW, and at once (after one last look)
        when the program has ended, with the end of its standard error."""
        end = time.monotonic() + timeout * SLOW
        while True:
            ended = self.process.poll() is not None
            try:
                value = query()
            except GLib.Error:  # an accessible of a program that ends goes away under the question
                if self.process.poll() is None:
                    raise
                value = None
            if value:
                return value
            if ended or time.monotonic() > end:
                state = "ended with status %d" % self.process.returncode if ended else "runs on"
                raise AssertionError("%s %s; the test waited for %s. Its standard error ends:\n%s"
                                     % (self.name, state, what, self.stderr()[-2000:]))
            time.sleep(0.1)

    def stays_without(self, query, seconds):
        """True when `query` (not waiting itself) returns nothing true for `seconds`, a fixed
        time the slow-down factor does not scale, or until the program has ended."""
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.process.poll() is None:
            if query():
                return False
            time.sleep(0.05)
        return True

    # --- windows -------------------------------------------------------------------------

    def find_window(self, title):
        """The X window id of the program's visible window with this exact title, now, or None."""
        out = run(["xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid),
                   "--name", "^%s$" % re.escape(title)], capture_output=True, text=True)
        # xdotool also lists windows that have no name at all: check each name.
        for wid in out.stdout.split():
            name = run(["xdotool", "getwindowname", wid], capture_output=True, text=True)
            if name.returncode == 0 and name.stdout.rstrip("\n") == title:
                return wid
        return None

    def window(self, title):
        """Waits for the program's visible window with this exact title: its X window id."""
        return self.wait_for("the window %r" % title, lambda: self.find_window(title))

    def picture(self, accessible):
        """The pixels of the accessible's area of the screen, or None while they are all of one
        colour (a window mapped but not drawn yet)."""
        x, y, w, h = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        d = display.Display()
        root = d.screen().root
        x, y = max(x, 0), max(y, 0)  # the part on the screen
        w, h = min(w, d.screen().width_in_pixels - x), min(h, d.screen().height_in_pixels - y)
        data = root.get_image(x, y, w, h, X.ZPixmap, 0xFFFFFFFF).data if w > 0 and h > 0 else b""
        d.close()
        return data if data and data.count(data[:4]) * 4 != len(data) else None

    def screenshot(self, what, shows):
        """Saves the screen once the accessible `shows` is drawn on it."""
        self.wait_for("%r drawn for the screenshot %r" % (shows.name, what), lambda: self.picture(shows))
        self.shots += 1
        path = os.path.join(ARTIFACTS, "%s-%02d-%s.png" % (self.name, self.shots, what))
        run(["import", "-window", "root", path], check=False)
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

    def find_app(self):
        """The program's application on the accessibility bus, or None while it has none."""
        if self._app is None:
            for app in pyatspi.Registry.getDesktop(0):
                try:
                    if app is not None and app.get_process_id() == self.process.pid:
                        self._app = app
                except GLib.Error:
                    pass  # an application that has gone meanwhile
        return self._app

    def showing_box(self):
        """The message box showing now, or None."""
        app = self.find_app()
        if app is None:
            return None
        for i in range(app.childCount):
            child = app.getChildAtIndex(i)
            if child is not None and child.getRole() == pyatspi.ROLE_ALERT and showing(child):
                return child
        return None

    def box(self):
        """Waits for a message box and reads it as a screen reader would: (kind, text, accessible)."""
        alert = self.wait_for("a message box", self.showing_box)
        texts = [a.name for a in descendants(alert) if a.getRole() == pyatspi.ROLE_LABEL and a.name]
        return alert.name, "\n".join(texts), alert

    def answer_box(self, alert, screenshot=None):
        """Presses the box's button and waits until the box has gone (or the program with it)."""
        if screenshot:
            self.screenshot(screenshot, alert)
        name = alert.name
        # The box's button opens nothing, so the press may wait for its handler: through the
        # accessibility library's own connection, which GTK 3's bridge still serves while the
        # press that opened the box is in its handler (one made by do_action it holds then).
        find(alert, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON).queryAction().doAction(0)
        self.wait_for("the box %r to close" % name, lambda: self.process.poll() is not None or not showing(alert))

    def info(self, screenshot=None):
        """Presses Info and answers its box: its fields by the names of CARD_INFO_FIELDS, each
        as shown, blank padding included."""
        self.press("Info")
        kind, text, alert = self.box()
        parts = re.split("(%[sd])", shown_texts.CARD_INFO)
        pattern = "".join({"%s": "([^\n]*)", "%d": "(-?[0-9]+)"}.get(part, re.escape(part)) for part in parts)
        match = re.fullmatch(pattern, text)
        if not match:
            raise AssertionError("Info showed %r; standard error:\n%s" % (text, self.stderr()))
        self.answer_box(alert, screenshot)
        return dict(zip(CARD_INFO_FIELDS, match.groups()))

    def main_frame(self):
        app = self.wait_for("the program on the accessibility bus", self.find_app)
        return find(app, lambda a: a.getRole() == pyatspi.ROLE_FRAME and a.name == "Pin Manager")

    def showing_frame(self):
        """Waits for the dialog to show, as the accessibility bus tells it (with or without X):
        its frame's accessible."""
        def frame():
            app = self.find_app()
            for i in range(app.childCount if app is not None else 0):
                child = app.getChildAtIndex(i)
                if child is not None and child.getRole() == pyatspi.ROLE_FRAME and \
                        child.name == "Pin Manager" and showing(child):
                    return child
            return None
        return self.wait_for("the dialog", frame)

    def tabs(self):
        tablist = find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB_LIST)
        return [tablist.getChildAtIndex(i).name for i in range(tablist.childCount)]

    def click(self, accessible):
        x, y, w, h = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        run(["xdotool", "mousemove", "--sync", str(x + w // 2), str(y + h // 2), "click", "1"], check=True)

    def current_tab(self):
        tablist = find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB_LIST)
        return tablist.querySelection().getSelectedChild(0)

    def show_page(self, title):
        """Clicks the page's tab; returns once the page is the current one and drawn."""
        if self.current_tab().name == title:
            return
        frame = self.main_frame()
        before = self.picture(frame)
        self.click(find(frame, lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB and a.name == title))
        self.wait_for("the page %r drawn" % title, lambda: self.current_tab().name == title and
                      self.picture(frame) not in (None, before))

    def field(self, label):
        """The text field that the label with this text names (its mnemonic widget)."""
        tab = self.current_tab()
        lab = find(tab, lambda a: a.getRole() == pyatspi.ROLE_LABEL and a.name == label)
        for relation in lab.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABEL_FOR:
                return relation.getTarget(0)
        raise AssertionError("label %r names no field" % label)

    def fill(self, values, wid=None):
        """Puts each value into the field its label names, in place of its text: typed into the X
        window `wid`, or without X (wid None) set through the accessibility bus, and focused."""
        for label, value in values:
            field = self.field(label)
            if wid is None:
                field.queryEditableText().setTextContents(value)
                field.queryComponent().grabFocus()
                continue
            self.click(field)
            self.key(wid, "ctrl+a", "BackSpace")
            run(["xdotool", "windowfocus", "--sync", wid, "type", "--delay", "15", value], check=True)

    def key(self, wid, *keys):
        run(["xdotool", "windowfocus", "--sync", wid, "key", "--delay", "30"] + list(keys), check=True)

    def press(self, button_name):
        """Presses the dialog's button of that name, as a screen reader would, without waiting
        for its handler."""
        do_action(find(self.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and
                       a.name == button_name))


class ProgramCase(unittest.TestCase):
    """A test of the running program that reads its boxes."""

    def expect_box(self, p, text, shot=None):
        """The open box reads `text`; answers it, keeping a screenshot named `shot` if given."""
        kind, seen, alert = p.box()
        self.assertEqual(seen, text, p.stderr())
        p.answer_box(alert, shot)

    def operate(self, p, page, values, box, shot=None, wid=None):
        """Fills the page's three fields (Program.fill) and runs OK, by Enter where the values are
        typed, else by the OK button; then the box reads `box` (expect_box)."""
        p.show_page(page)
        p.fill(zip(PAGE_FIELDS[page], values), wid)
        if wid is None:
            p.press("OK")
        else:
            p.key(wid, "Return")
        self.expect_box(p, box, shot)


def showing(accessible):
    """Whether the accessible is on the screen: False once it has gone."""
    try:
        return accessible.getState().contains(pyatspi.STATE_SHOWING)
    except GLib.Error:
        return False


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
