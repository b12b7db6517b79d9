"""End-to-end harness: a private X display, Wine prefix, COM mapping and radio simulator per test
process, and the app driven through qmdriver.exe.

Environment (set by CMake for each registered test):
  QM_EXE      the Windows build's quellmark.exe
  QM_DRIVER   the Windows build's qmdriver.exe
  QM_TRX_SIM  the native trx_sim
  QM_E2E_WORK a directory of this test's own (prefix, logs, sim files); a temp dir otherwise

Everything started here is stopped by its process id at exit, on SIGTERM/SIGINT/SIGHUP, and (for
direct children) by the kernel when this process dies (PR_SET_PDEATHSIG).
"""

import atexit
import ctypes
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TITLE = "Quellmark 1.0"
# The time of day in front of every log entry.
LOG_STAMP = re.compile(r"^([01]\d|2[0-3]):[0-5]\d:[0-5]\d")
SCREEN = (1024, 768)

# Named controls: (class, text or None for "the only one of its class").
CONTROLS = {
    "StatusBar": ("msctls_statusbar32", None),
    "ProgressBar": ("msctls_progress32", None),
    "LogList": ("ListBox", None),
    "ReadButton": ("Button", "Read TRX"),
    "WriteButton": ("Button", "Write TRX"),
    "LoadButton": ("Button", "Load File"),
    "SaveButton": ("Button", "Save File"),
    "PortCombo": ("ComboBox", None),
    "PortLabel": ("Static", "PORT:"),
}

_PR_SET_PDEATHSIG = 1


class HarnessError(Exception):
    pass


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _required_path(name):
    path = os.environ.get(name)
    if not path or not os.path.exists(path):
        raise HarnessError(f"{name} must name an existing file (got {path!r})")
    return path


def win_path(path):
    """The Wine name of an absolute Linux path: /tmp/x -> Z:\\tmp\\x."""
    path = os.path.abspath(path)
    return "Z:" + path.replace("/", "\\")


def wait_until(predicate, timeout=10.0, interval=0.05, message="condition"):
    """Polls predicate until it returns a true value, which is returned; fails at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f} s waiting for {message}")
        time.sleep(interval)


def _stop_process(proc, grace=5.0):
    """SIGTERM, wait, then SIGKILL; returns the exit status."""
    if proc.poll() is None:
        try:
            proc.terminate()
            return proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


class _LineReader:
    """Collects a pipe's lines on a thread so that reads can have a time limit."""

    def __init__(self, stream):
        self._lines = queue.Queue()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        for raw in iter(stream.readline, b""):
            self._lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self._lines.put(None)

    def next(self, timeout):
        """The next line, None at end of stream; HarnessError when none comes in time."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            raise HarnessError(f"no line within {timeout:.1f} s") from None


class Session:
    """One Xvfb, one Wine prefix and what runs in them, for the life of the test process."""

    def __init__(self):
        self.work = os.environ.get("QM_E2E_WORK") or tempfile.mkdtemp(prefix="qm-e2e-")
        # Files of an earlier run under the same names (a sim appends to its record) would pass
        # for this run's: every run starts from an empty work directory.
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.prefix = os.path.join(self.work, "prefix")
        self.timings = {}
        self.ports = None
        self.xvfb = None
        self.display = None
        self.env = None
        self.apps = []
        self.sims = []
        self._counter = 0
        self._closed = False

    def note_time(self, what, started):
        self.timings.setdefault(what, []).append(time.monotonic() - started)

    def next_name(self, stem):
        self._counter += 1
        return os.path.join(self.work, f"{stem}-{self._counter}")

    def log_file(self, stem):
        return open(self.next_name(stem) + ".log", "wb")

    def start(self):
        self._start_xvfb()
        self.env = dict(
            os.environ,
            DISPLAY=self.display,
            WINEPREFIX=self.prefix,
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",
        )
        self._create_prefix()

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        with self.log_file("xvfb") as log:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                 f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=log, stderr=log, preexec_fn=_die_with_parent)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        os.set_blocking(read_end, False)
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or self.xvfb.poll() is not None:
                os.close(read_end)
                raise HarnessError("Xvfb did not report its display")
            try:
                chunk = os.read(read_end, 16)
            except BlockingIOError:
                time.sleep(0.02)
                continue
            if not chunk:
                time.sleep(0.02)
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def _create_prefix(self):
        started = time.monotonic()
        shutil.rmtree(self.prefix, ignore_errors=True)
        with self.log_file("wineboot") as log:
            subprocess.run(["wineboot", "-i"], env=self.env, stdout=log, stderr=log,
                           check=True, timeout=300)
        self._wineserver("-w", timeout=120)
        self.note_time("create prefix", started)

    def _wineserver(self, flag, timeout=60):
        subprocess.run(["wineserver", flag], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)

    def restart_wine(self):
        """Stops every Wine process of the prefix; the next start boots it afresh."""
        self._wineserver("-k")
        self._wineserver("-w")

    def map_ports(self, mapping):
        """Sets COM1..COM99: the given names to their device paths, every other one to ""."""
        for app in self.apps:
            if app.running():
                raise HarnessError("map_ports while the app runs: the restart would kill it")
        started = time.monotonic()
        unknown = set(mapping) - {f"COM{n}" for n in range(1, 100)}
        if unknown:
            raise HarnessError(f"not a COM1..COM99 name: {sorted(unknown)}")
        lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
        for n in range(1, 100):
            device = mapping.get(f"COM{n}", "")
            lines.append(f'"COM{n}"="{device}"')
        reg = self.next_name("ports") + ".reg"
        with open(reg, "w", encoding="ascii") as f:
            f.write("\r\n".join(lines) + "\r\n")
        with self.log_file("regedit") as log:
            subprocess.run(["wine", "regedit", "/S", reg], env=self.env, stdout=log, stderr=log,
                           check=True, timeout=120)
        self.restart_wine()
        self.ports = dict(mapping)
        self.note_time("map ports", started)

    def close(self):
        if self._closed:
            return
        self._closed = True
        for app in self.apps:
            app.kill()
        for sim in self.sims:
            sim.stop()
        if self.env is not None:
            try:
                self.restart_wine()
            except (OSError, subprocess.SubprocessError):
                pass
        if self.xvfb is not None:
            _stop_process(self.xvfb)
        if self.timings:
            report = "; ".join(
                f"{what} x{len(times)}: " + (f"{times[0]:.2f} s" if len(times) == 1 else
                                            f"{min(times):.2f}..{max(times):.2f} s")
                for what, times in self.timings.items())
            print(f"[harness] timings: {report}", file=sys.stderr)


_session = None


def session():
    """The process's session, started on first use."""
    global _session
    if _session is None:
        _session = Session()
        atexit.register(_session.close)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, _on_signal)
        _session.start()
    return _session


def _on_signal(signum, _frame):
    if _session is not None:
        _session.close()
    os._exit(128 + signum)


def map_ports(mapping):
    session().map_ports(mapping)


def port_link(name):
    """A fixed path for a COM name: map the name to it once, and let each sim make it its pty's
    link (start_sim(link=name)), so that a new sim needs no new mapping."""
    return os.path.join(session().work, "ports", name)


# ---- the simulated radio -----------------------------------------------------------------------


class Sim:
    """A running trx_sim. Its memory is written to dump_path at exit and on dump()."""

    def __init__(self, args, link=None, pty_timeout=10.0):
        s = session()
        base = s.next_name("sim")
        if link is not None:
            os.makedirs(os.path.dirname(port_link(link)), exist_ok=True)
            args = ["--pty-link", port_link(link), *args]
        self.record_path = base + ".rec"
        self.dump_path = base + ".dump"
        self.stderr_path = base + ".err"
        self.args = list(args)
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(
                [_required_path("QM_TRX_SIM"), *self.args, "--record", self.record_path,
                 "--dump", self.dump_path],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                preexec_fn=_die_with_parent)
        self.pid = self.proc.pid
        self._out = _LineReader(self.proc.stdout)
        s.sims.append(self)
        first = self._out.next(pty_timeout)
        if first is None or not first.startswith("PTY "):
            self.stop()
            raise HarnessError(f"trx_sim said {first!r}, not 'PTY <path>'")
        self.pty = first[4:].strip()

    def running(self):
        return self.proc.poll() is None

    def stop(self, timeout=10.0):
        """SIGTERM, wait, SIGKILL if needed; returns the exit status."""
        return _stop_process(self.proc, timeout)

    def dump(self, timeout=10.0):
        """The radio's 1024 bytes now (SIGUSR2, then the DUMPED line)."""
        self.proc.send_signal(signal.SIGUSR2)
        deadline = time.monotonic() + timeout
        while True:
            line = self._out.next(max(0.01, deadline - time.monotonic()))
            if line is None:
                raise HarnessError("trx_sim ended before DUMPED")
            if line == "DUMPED":
                return self.memory()

    def memory(self):
        """The bytes of the last dump (after dump() or stop())."""
        with open(self.dump_path, "rb") as f:
            return f.read()

    def stray(self):
        """SIGUSR1: the sim puts its --stray bytes on the line."""
        self.proc.send_signal(signal.SIGUSR1)

    def record(self):
        """The record so far: a list of (microseconds, kind, rest)."""
        if not os.path.exists(self.record_path):
            return []
        events = []
        with open(self.record_path, encoding="ascii", errors="replace") as f:
            for line in f:
                parts = line.rstrip("\n").split(" ", 2)
                if len(parts) >= 2 and parts[0].isdigit():
                    events.append((int(parts[0]), parts[1], parts[2] if len(parts) > 2 else ""))
        return events

    def commands(self):
        """The parsed commands in order, e.g. ["XL1000;", "XL1001;"]."""
        return [rest for _, kind, rest in self.record() if kind == "CMD"]


def start_sim(*args, link=None):
    """Starts trx_sim with args (plus its own --record and --dump files); link: a COM name whose
    port_link the pty gets."""
    return Sim(args, link)


# ---- the app and its driver --------------------------------------------------------------------


class DriverError(HarnessError):
    pass


class App:
    """quellmark.exe under Wine, and qmdriver.exe attached to its window."""

    def __init__(self, start_timeout=60.0):
        s = session()
        self.session = s
        started = time.monotonic()
        self.launched_at = time.time()
        with s.log_file("app") as log:
            self.proc = subprocess.Popen(["wine", _required_path("QM_EXE")], env=s.env,
                                         cwd=s.work, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=log, preexec_fn=_die_with_parent)
        with s.log_file("driver") as log:
            self.driver = subprocess.Popen(["wine", _required_path("QM_DRIVER")], env=s.env,
                                           cwd=s.work, stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=log,
                                           preexec_fn=_die_with_parent)
        self._replies = _LineReader(self.driver.stdout)
        s.apps.append(self)
        try:
            found = self.call("find_main", TITLE, int(start_timeout * 1000),
                              timeout=start_timeout + 30)
            self.hwnd, self.pid = found["hwnd"], found["pid"]
            # Start-up is over once the first log entry is there; the window is up before its
            # controls are.
            wait_until(self._has_first_entry, start_timeout, message="the first log entry")
        except (HarnessError, AssertionError):
            self.kill()
            raise
        self.ready_at = time.time()
        s.note_time("launch app", started)

    def _has_first_entry(self):
        try:
            return self.call("list")["count"] >= 1
        except DriverError:
            return False

    # -- driver plumbing

    def call(self, command, *args, timeout=30.0):
        """Sends one driver command; returns its reply, raises DriverError on an error reply."""
        fields = [command, *(str(a) for a in args)]
        for field in fields:
            if "\t" in field or "\n" in field:
                raise HarnessError(f"driver field may not hold TAB or newline: {field!r}")
        if self.driver.poll() is not None:
            raise DriverError("the driver has ended")
        self.driver.stdin.write(("\t".join(fields) + "\n").encode("utf-8"))
        self.driver.stdin.flush()
        line = self._replies.next(timeout)
        if line is None:
            raise DriverError(f"the driver ended during {command}")
        reply = json.loads(line)
        if not reply.get("ok"):
            raise DriverError(f"{command}: {reply.get('error')}")
        return reply

    # -- state of the window

    def running(self):
        return self.proc.poll() is None

    def window(self):
        return self.call("window")

    def focus(self):
        """The control with the keyboard focus (a control dict), or None."""
        return self.call("focus")["focus"]

    def controls(self):
        """Every descendant of the window in creation (z) order, the progress bar included."""
        return self.call("controls")["controls"]

    def control(self, name):
        """One control by its name in CONTROLS or by a button's text."""
        cls, text = CONTROLS.get(name, ("Button", name))
        found = [c for c in self.controls()
                 if c["class"] == cls and (text is None or c["text"] == text)]
        if len(found) != 1:
            raise HarnessError(f"{len(found)} controls match {name}")
        return found[0]

    def enabled(self, name):
        return self.control(name)["enabled"]

    def log_facts(self):
        return self.call("list")

    def log(self):
        return self.call("list")["items"]

    def combo(self):
        return self.call("combo")

    def combo_items(self):
        return self.call("combo")["items"]

    def select_port(self, name):
        return self.call("combo_select", name)["selection"]

    def progress(self):
        """{"pos", "low", "high"} of the progress bar."""
        return self.call("progress")

    def status(self):
        """{"parts": right edges, "field": rect of field 0} of the status bar."""
        return self.call("status")

    def process_stats(self):
        return self.call("process")

    def adjust_rect(self, style, exstyle, width, height):
        """AdjustWindowRectEx for a client of width x height, as the prefix measures it."""
        return self.call("adjust", style, exstyle, width, height)["rect"]

    # -- acting on it

    def click(self, text):
        """Posts BM_CLICK to the button; returns whether it was enabled at that moment."""
        return self.call("click", text)["enabled"]

    def boxes(self):
        """The app's visible dialogs (message boxes and file dialogs)."""
        return self.call("boxes")["boxes"]

    def wait_box(self, timeout=10.0, title=""):
        """The first ready dialog of the app (with that title, when given)."""
        return self.call("wait_box", int(timeout * 1000), title, timeout=timeout + 30)["box"]

    def no_box_within(self, seconds):
        """True when no dialog of the app shows up for that long."""
        try:
            self.call("wait_box", int(seconds * 1000), "", timeout=seconds + 30)
        except DriverError:
            return True
        return False

    def answer_box(self, button, box=None):
        """Presses a box's button (text such as "OK" or a numeric id); True once it has closed."""
        return self.call("answer_box", box["hwnd"] if box else 0, button)["closed"]

    def fill_file_dialog(self, title, path, timeout=10.0):
        """Types path into the dialog's file name and confirms; True once the dialog closed."""
        return self.call("fill_file", title, path, int(timeout * 1000),
                         timeout=timeout + 30)["closed"]

    def cancel_file_dialog(self, title, timeout=10.0):
        return self.call("cancel_file", title, int(timeout * 1000), timeout=timeout + 30)["closed"]

    def dismiss_boxes(self, rounds=5):
        """Closes whatever dialogs are up (Cancel, No or OK first), also those that follow."""
        for _ in range(rounds):
            if not self.boxes() and self.no_box_within(0.5):
                return
            for box in self.boxes():
                ids = [b["id"] for b in box["buttons"]]
                choice = next((i for i in (2, 7, 1) if i in ids), ids[0] if ids else None)
                if choice is not None:
                    self.answer_box(str(choice), box)

    def syscommand(self, name):
        """Posts WM_SYSCOMMAND: close, minimize, maximize or restore."""
        self.call("syscommand", name)

    def close(self, how="wm_close"):
        """Asks the window to close: wm_close, sc_close, or alt_f4 (real keys)."""
        if how == "wm_close":
            self.call("close")
        elif how == "sc_close":
            self.syscommand("close")
        elif how == "alt_f4":
            self.key("alt+F4")
        else:
            raise HarnessError(f"unknown way to close: {how}")

    def wait_exit(self, timeout=30.0):
        """The exit status of the app (wine passes the Windows exit code through)."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the app did not end within {timeout:.0f} s") from None
        self._stop_driver()
        return code

    # -- real input through the X server

    def _xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.session.env, check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def screen_point(self, x, y):
        origin = self.window()["client_origin"]
        return origin["x"] + x, origin["y"] + y

    def real_click(self, x, y):
        """A real left click at client coordinates of the main window."""
        sx, sy = self.screen_point(x, y)
        self._xdotool("mousemove", "--sync", str(sx), str(sy), "click", "1")

    def real_double_click(self, x, y):
        sx, sy = self.screen_point(x, y)
        self._xdotool("mousemove", "--sync", str(sx), str(sy), "click", "--repeat", "2",
                      "--delay", "80", "1")

    def real_click_control(self, name):
        r = self.control(name)["rect"]
        self.real_click((r["left"] + r["right"]) // 2, (r["top"] + r["bottom"]) // 2)

    def key(self, *keys):
        """Real key presses (xdotool names: Tab, shift+Tab, Return, space, alt+F4)."""
        self._xdotool("key", "--delay", "60", *keys)

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.session.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # -- cleanup

    def _stop_driver(self):
        if self.driver.poll() is None:
            try:
                self.driver.stdin.write(b"quit\n")
                self.driver.stdin.flush()
                self.driver.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                pass
        _stop_process(self.driver)

    def kill(self):
        """Ends app and driver by their process ids, whatever state they are in."""
        _stop_process(self.proc)
        self._stop_driver()


def launch_app(timeout=60.0):
    return App(timeout)


# ---- the test base class -----------------------------------------------------------------------


class QuellmarkTestCase(unittest.TestCase):
    """Starts the session once, maps PORTS before the class's tests and stops what they started.

    PORTS maps COM names to device paths; LINKED_PORTS names COM ports mapped to their port_link,
for sims started with link=. A test launches the app with self.launch_app() (stopped after the test) or shares one from
    setUpClass with cls.launch_app_for_class() (stopped after the class).
    """

    PORTS = {}
    LINKED_PORTS = ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        s = session()
        wanted = dict(cls.PORTS)
        wanted.update({name: port_link(name) for name in cls.LINKED_PORTS})
        if s.ports != wanted:
            s.map_ports(wanted)

    @classmethod
    def launch_app_for_class(cls, timeout=60.0):
        app = launch_app(timeout)
        cls.addClassCleanup(app.kill)
        return app

    def launch_app(self, timeout=60.0):
        app = launch_app(timeout)
        self.addCleanup(app.kill)
        return app

    def start_sim(self, *args, link=None):
        sim = start_sim(*args, link=link)
        self.addCleanup(sim.stop)
        return sim

    def wait_until(self, predicate, timeout=10.0, message="condition"):
        return wait_until(predicate, timeout, message=message)

    def messages(self):
        """self.app's log messages without their time stamps (each stamp checked on the way)."""
        out = []
        for entry in self.app.log():
            self.assertRegex(entry, LOG_STAMP)
            out.append(entry[8:])
        return out

    def new_messages(self, before, count=1, timeout=10.0):
        """Waits until count entries follow the first `before` ones, and returns them."""
        entries = []

        def arrived():
            entries[:] = self.messages()
            return len(entries) >= before + count

        self.wait_until(arrived, timeout, message=f"{count} new log entries")
        self.assertEqual(len(entries), before + count, entries)
        return entries[before:]
