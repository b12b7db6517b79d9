"""The transceiver link end to end: port discovery, Read TRX and Write TRX against the simulated
radio, every way out of a job, a line that misbehaves, and the controls while a job runs."""

import contextlib
import os
import subprocess
import time
import unittest

import harness

TRANSFER_CONTROLS = ("PortCombo", "ReadButton", "WriteButton", "LoadButton", "SaveButton")
MIX = bytes((a * 7 + 3) % 256 for a in range(1024))
FF = bytes([255]) * 1024
ZERO = bytes(1024)

# A job against the unpaced sim takes a few seconds, a paced one about 15 s.
JOB_TIMEOUT = 120.0


def read_commands(count=1024):
    return [f"XL{1000 + a};" for a in range(count)]


def write_commands(image):
    return [f"XS{1000 + a} {v};" for a, v in enumerate(image)]


def sent_bytes(sim):
    """Every byte the program put on the sim's line, in order."""
    return b"".join(bytes.fromhex(rest) for _, kind, rest in sim.record() if kind == "RX")


def port_holders(sim):
    """Processes other than the sim that hold its pty open."""
    holders = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == sim.pid:
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == sim.pty:
                    holders.append(int(pid))
                    break
            except OSError:
                continue
    return holders


class LinkCase(harness.QuellmarkTestCase):
    """What the transfer scenarios share: the log without stamps, boxes, the idle state."""

    app = None
    hwnds = None  # of TRANSFER_CONTROLS, looked up once per app

    @contextlib.contextmanager
    def round_sim(self, *args, link="COM1"):
        """A sim for one round of a loop, stopped when the round ends, so the next can link."""
        sim = self.start_sim(*args, link=link)
        try:
            yield sim
        finally:
            sim.stop()

    def app_once(self):
        """The app, launched on first use: after the first sim, so that discovery lists it."""
        if self.app is None:
            self.app = self.launch_app()
        return self.app

    def transfer_controls_enabled(self):
        if self.hwnds is None:
            self.hwnds = [self.app.control(name)["hwnd"] for name in TRANSFER_CONTROLS]
        enabled = {c["hwnd"]: c["enabled"] for c in self.app.controls()}
        return [enabled[hwnd] for hwnd in self.hwnds]

    def start_job(self, button, port=None):
        if port is not None:
            self.assertGreaterEqual(self.app.select_port(port), 0, f"{port} is not listed")
        self.assertTrue(self.app.click(button), f"{button} was disabled")

    def await_end(self, before, what, timeout=JOB_TIMEOUT):
        """Waits for the job's log entry and returns it; an error box fails it at once."""
        boxes = []

        def ended():
            boxes[:] = self.app.boxes()
            return boxes or len(self.app.log()) > before

        self.wait_until(ended, timeout, message=f"the end of {what}")
        self.assertEqual([box["text"] for box in boxes], [], f"{what} failed")
        [message] = self.new_messages(before)
        self.assert_idle()
        return message

    def run_job(self, button, port, timeout=JOB_TIMEOUT):
        """A job that must complete; returns its log message."""
        before = len(self.messages())
        self.start_job(button, port)
        return self.await_end(before, f"the {button} job", timeout)

    def expect_error(self, text, timeout=30.0):
        """The job's error box: shown before the entry, while the controls stay locked; closes it
        and returns the entry that follows."""
        before = len(self.messages())
        box = self.app.wait_box(timeout, title="Error")
        self.assertEqual((box["text"], box["icon"]), (text, "error"))
        self.assertEqual([b["text"] for b in box["buttons"]], ["OK"])
        self.assertEqual(len(self.messages()), before, "logged before the box was closed")
        self.assertEqual(self.transfer_controls_enabled(), [False] * 5)
        self.assertTrue(self.app.answer_box("OK", box))
        [message] = self.new_messages(before)
        self.assert_idle()
        return message

    def assert_idle(self):
        self.wait_until(lambda: self.transfer_controls_enabled() == [True] * 5,
                        message="the transfer controls enabled again")
        self.wait_until(lambda: self.app.progress()["pos"] == 0, message="progress back at 0")
        self.assertTrue(self.app.enabled("LogList"))

    def assert_port_released(self, sim):
        self.wait_until(lambda: not port_holders(sim), 10,
                        message=f"the program to close {sim.pty} ({port_holders(sim)})")


class PortDiscoveryTest(LinkCase):
    """Sims on COM2, COM10 and COM100 at start-up: only the first two are listed."""

    LINKED_PORTS = ("COM2", "COM10")
    PORTS_KEY = r"HKLM\Software\Wine\Ports"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.set_com100(harness.port_link("COM100"))
        cls.addClassCleanup(cls.set_com100, None)

    @classmethod
    def set_com100(cls, device):
        # Beyond what the harness maps on purpose: COM100 exists, but is no candidate name.
        s = harness.session()
        args = (["add", cls.PORTS_KEY, "/v", "COM100", "/t", "REG_SZ", "/d", device, "/f"]
                if device else ["delete", cls.PORTS_KEY, "/v", "COM100", "/f"])
        subprocess.run(["wine", "reg", *args], env=s.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=device is not None, timeout=120)
        s.restart_wine()

    def test_lists_com2_then_com10_selects_none_and_sends_nothing(self):
        sims = [self.start_sim(link=name) for name in ("COM2", "COM10", "COM100")]
        self.app = self.launch_app()
        combo = self.app.combo()
        self.assertEqual(combo["items"], ["COM2", "COM10"])
        self.assertEqual((combo["selection"], combo["text"]), (-1, ""))
        self.assertEqual(self.messages(), [" Start program"])
        for sim in sims:
            self.assertEqual([kind for _, kind, _ in sim.record()], [], "nothing on the line")
            self.assert_port_released(sim)


class TransferTest(LinkCase):
    """Each test starts its sims first: discovery lists only what is there at start-up."""

    LINKED_PORTS = ("COM1", "COM2")

    def test_write_right_after_start_up_sends_zero_to_every_address(self):
        sim = self.start_sim("--pattern", "ff", link="COM1")
        self.app = self.launch_app()
        self.assertEqual(self.run_job("Write TRX", "COM1"), "TRX writing!")
        commands = write_commands(ZERO)
        self.assertEqual((commands[0], commands[-1]), ("XS1000 0;", "XS2023 0;"))
        self.assertEqual(sim.commands(), commands)
        self.assertEqual(sent_bytes(sim), "".join(commands).encode("ascii"))
        self.assertEqual(sim.dump(), ZERO)
        self.assert_port_released(sim)

    def test_read_from_one_radio_then_write_into_another(self):
        source = self.start_sim("--pattern", "mix", link="COM1")
        target = self.start_sim("--pattern", "ff", link="COM2")
        self.app = self.launch_app()
        self.assertEqual(self.run_job("Read TRX", "COM1"), "TRX reading!")
        self.assertEqual(sent_bytes(source), "".join(read_commands()).encode("ascii"))
        self.assert_port_released(source)
        # The second job opens a port afresh.
        self.assertEqual(self.run_job("Write TRX", "COM2"), "TRX writing!")
        self.assertEqual(target.commands(), write_commands(MIX))
        self.assertEqual(target.dump(), MIX)
        self.assertEqual(source.commands(), read_commands(), "the source got nothing more")
        self.assert_port_released(target)

    def test_no_port_or_a_vanished_one_cannot_be_opened(self):
        sim = self.start_sim(link="COM1")
        self.app = self.launch_app()
        for button in ("Read TRX", "Write TRX"):
            with self.subTest(button=button, port="none selected"):
                self.start_job(button)
                self.assertEqual(self.expect_error("Can't open port!"), " Can't open port: ")
        # Listed at start-up, gone since: the entry names it.
        sim.stop()
        self.start_job("Read TRX", "COM1")
        self.assertEqual(self.expect_error("Can't open port!"), " Can't open port: COM1")

    def test_silent_radio_times_out_and_the_port_is_closed_after_the_entry(self):
        sim = self.start_sim("--silent", link="COM1")
        self.app = self.launch_app()
        for button, command in (("Read TRX", "XL1000;"), ("Write TRX", "XS1000 0;")):
            with self.subTest(button=button):
                self.start_job(button, "COM1")
                box = self.app.wait_box(30, title="Error")
                self.assertTrue(port_holders(sim), "the port stays open while the box is up")
                self.assertEqual(box["text"], "TRX not responding!")
                self.assertEqual(self.expect_error("TRX not responding!"), " TRX not responding!")
                self.assert_port_released(sim)
                self.assertEqual(sim.commands()[-1], command)
        self.assertEqual(len(sim.commands()), 2)

    def test_read_stopped_at_600_keeps_the_old_values_from_there_on(self):
        full = self.start_sim("--pattern", "mix", link="COM1")
        partial = self.start_sim("--pattern", "ff", "--stop-at", "600", link="COM2")
        self.app = self.launch_app()
        self.assertEqual(self.run_job("Read TRX", "COM1"), "TRX reading!")
        self.start_job("Read TRX", "COM2")
        self.app.wait_box(JOB_TIMEOUT, title="Error")
        self.assertEqual(self.app.progress()["pos"], 59, "progress when the box showed")
        self.assertEqual(self.expect_error("TRX not responding!"), " TRX not responding!")
        self.assertEqual(partial.commands(), read_commands(601))
        # The image now holds 600 values of the second radio and the first one's tail.
        self.assertEqual(self.run_job("Write TRX", "COM1"), "TRX writing!")
        image = FF[:600] + MIX[600:]
        self.assertEqual(full.commands()[1024:], write_commands(image))
        self.assertEqual(full.dump(), image)

    def test_stray_bytes_before_a_read_are_drained(self):
        for count in (17, 40, 4000):
            with self.subTest(stray=count), \
                    self.round_sim("--pattern", "mix", "--stray", str(count)) as sim:
                self.app_once()
                sim.stray()
                self.wait_until(lambda: sum(len(rest) // 2 for _, kind, rest in sim.record()
                                            if kind == "TX") == count,
                                message=f"{count} stray bytes on the line")
                self.assertEqual(self.run_job("Read TRX", "COM1"), "TRX reading!")
                # Writing the image back shows what was read.
                self.assertEqual(self.run_job("Write TRX", "COM1"), "TRX writing!")
                self.assertEqual(sim.commands(), read_commands() + write_commands(MIX))

    def test_value_fields_are_read_by_the_number_rule(self):
        rows = [("313233", 123), ("303037", 7), ("202037", 7), ("372020", 7), ("342032", 4),
                ("323535", 255), ("323536", 0), ("393939", 231), ("2D3031", 255),
                ("2B3132", 12), ("244646", 255), ("253131", 3), ("414243", 0), ("310035", 15),
                ("31B233", 1), ("B13233", 0), ("000000", 0), ("FFFFFF", 0)]
        fields = [arg for a, (hex_field, _) in enumerate(rows)
                  for arg in ("--field", f"{a}={hex_field}")]
        sim = self.start_sim("--pattern", "mix", *fields, link="COM1")
        self.app = self.launch_app()
        self.assertEqual(self.run_job("Read TRX", "COM1"), "TRX reading!")
        self.assertEqual(self.run_job("Write TRX", "COM1"), "TRX writing!")
        image = bytes(stored for _, stored in rows) + MIX[len(rows):]
        written = sim.commands()[1024:]
        for a, (hex_field, stored) in enumerate(rows):
            self.assertEqual(written[a], f"XS{1000 + a} {stored};", f"field {hex_field}")
        self.assertEqual(written, write_commands(image))

    def test_replies_of_the_wrong_length_time_out(self):
        cases = [
            # One byte more in the same write: the count never equals 6.
            (("--extra", "1"), {1}),
            # Garbage after the reply for address 5 lands with it or spoils the next wait.
            (("--flood-at", "5:100"), {6, 7}),
        ]
        for args, commands in cases:
            with self.subTest(args=args), self.round_sim("--pattern", "mix", *args) as sim:
                self.app_once()
                self.start_job("Read TRX", "COM1")
                self.assertEqual(self.expect_error("TRX not responding!"), " TRX not responding!")
                self.assertIn(len(sim.commands()), commands)
                self.assert_port_released(sim)

    def test_line_dropped_mid_read_times_out_and_the_port_no_longer_opens(self):
        sim = self.start_sim("--pattern", "mix", "--drop-at", "300", link="COM1")
        self.app = self.launch_app()
        self.start_job("Read TRX", "COM1")
        self.assertEqual(self.expect_error("TRX not responding!"), " TRX not responding!")
        self.assertEqual(sim.commands(), read_commands(301))
        self.start_job("Read TRX", "COM1")
        self.assertEqual(self.expect_error("Can't open port!"), " Can't open port: COM1")

    def test_closing_the_window_mid_transfer_ends_the_program_at_once(self):
        for button in ("Read TRX", "Write TRX"):
            with self.subTest(button=button), self.round_sim("--paced", "--pattern", "mix") as sim:
                app = self.app = self.launch_app()
                self.hwnds = None
                self.start_job(button, "COM1")
                self.wait_until(lambda: app.progress()["pos"] >= 5, JOB_TIMEOUT,
                                message="the job under way")
                self.assertEqual(len(app.log()), 1)
                asked = time.monotonic()
                app.close()
                self.assertEqual(app.wait_exit(30), 0)
                self.assertLess(time.monotonic() - asked, 10, "the program did not wait")
                sent = len(sim.commands())
                self.assertLess(sent, 1024)
                self.assert_port_released(sim)
                # Nothing can be awaited here: give bytes already on the line time to be parsed,
                # then none may have come.
                time.sleep(0.5)
                self.assertEqual(len(sim.commands()), sent)
                if button == "Write TRX":
                    reached = len(sim.commands())
                    self.assertEqual(sim.dump(), ZERO[:reached] + MIX[reached:])

    def test_controls_are_locked_during_a_job_and_real_clicks_do_nothing(self):
        sim = self.start_sim("--paced", "--pattern", "mix", link="COM1")
        self.app = self.launch_app()
        before = len(self.messages())
        self.start_job("Read TRX", "COM1")
        self.wait_until(lambda: self.app.progress()["pos"] >= 1, JOB_TIMEOUT,
                        message="the job under way")
        self.assertEqual(self.transfer_controls_enabled(), [False] * 5)
        self.assertTrue(self.app.enabled("LogList"))
        for name in ("WriteButton", "LoadButton", "SaveButton", "ReadButton", "PortCombo"):
            self.app.real_click_control(name)
        self.assertTrue(self.app.no_box_within(1.5), self.app.boxes())
        self.assertGreater(self.app.progress()["pos"], 0, "the job was still running")
        self.assertEqual(self.await_end(before, "the job"), "TRX reading!")
        self.assertEqual(sim.commands(), read_commands())

    def test_bursts_of_clicks_start_one_job_each(self):
        sim = self.start_sim("--pattern", "mix", link="COM1")
        self.app = self.launch_app()
        self.assertGreaterEqual(self.app.select_port("COM1"), 0)
        r = self.app.control("ReadButton")["rect"]
        x, y = self.app.screen_point((r["left"] + r["right"]) // 2, (r["top"] + r["bottom"]) // 2)
        # Five real clicks queued at once: the ones after the first can reach the dispatcher before
        # the worker has run, so the click itself must lock the controls. The gap is narrow, so
        # it takes a few bursts. The pointer leaves first: a synced move onto the point where it
        # already is stalls.
        bursts = 5
        for burst in range(bursts):
            before = len(self.messages())
            subprocess.run(["xdotool", "mousemove", "--sync", "0", "0", "mousemove", "--sync",
                            str(x), str(y), "click", "--repeat", "5", "--delay", "0", "1"],
                           env=self.app.session.env, check=True, timeout=30)
            self.assertEqual(self.await_end(before, f"burst {burst}"), "TRX reading!")
        self.assertTrue(self.app.no_box_within(2.0), self.app.boxes())
        self.assertEqual(self.messages()[1:], ["TRX reading!"] * bursts)
        self.assertEqual(sim.commands(), read_commands() * bursts)


if __name__ == "__main__":
    unittest.main(verbosity=2)
