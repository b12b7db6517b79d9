"""Faults on the line and closing at awkward moments: each job ends cleanly (controls enabled,
port closed), the program stays healthy for the next job, and a close ends it at once."""

import time
import unittest

from test_link import JOB_TIMEOUT, MIX, LinkCase, read_commands, write_commands


class LineFaultTest(LinkCase):
    LINKED_PORTS = ("COM1",)

    def assert_healthy(self):
        """A clean radio on the same port reads whole after the fault."""
        with self.round_sim("--pattern", "mix") as sim:
            self.assertEqual(self.run_job("Read TRX", "COM1"), "TRX reading!")
            self.assertEqual(sim.commands(), read_commands())

    def test_faults_that_end_a_job_with_a_time_out(self):
        cases = [
            # The cable pulled: the pty goes away under the open port.
            ("line dropped mid-read", "Read TRX", ("--drop-at", "700"), {701}),
            ("line dropped mid-write", "Write TRX", ("--drop-at", "700"), {701}),
            # Thousands of bytes pour in after one reply: they land with it, or the next wait
            # never sees exactly 6.
            ("flood mid-read", "Read TRX", ("--flood-at", "400:5000"), {401, 402}),
            # A reply after the 500 polls of the wait. They take 500 ms at best and longer on a
            # loaded machine, so the reply comes well after them; the border itself is unit-tested.
            ("reply after the deadline", "Read TRX", ("--delay-at", "10:3000"), {11}),
        ]
        for what, button, args, sent in cases:
            with self.subTest(what), self.round_sim("--pattern", "mix", *args) as sim:
                self.app_once()
                self.start_job(button, "COM1")
                self.assertEqual(self.expect_error("TRX not responding!", JOB_TIMEOUT),
                                 " TRX not responding!")
                self.assertIn(len(sim.commands()), sent)
                self.assert_port_released(sim)
            self.assert_healthy()

    def test_slow_and_fragmented_replies_inside_the_deadline_succeed(self):
        cases = [
            ("one slow reply", ("--delay-at", "10:250")),
            ("every reply in pieces at random moments", ("--fragment", "--fragment-max-ms", "12",
                                                         "--seed", "7")),
        ]
        for what, args in cases:
            with self.subTest(what), self.round_sim("--pattern", "mix", *args) as sim:
                self.app_once()
                self.assertEqual(self.run_job("Read TRX", "COM1"), "TRX reading!")
                self.assertEqual(self.run_job("Write TRX", "COM1"), "TRX writing!")
                self.assertEqual(sim.commands(), read_commands() + write_commands(MIX))


class CloseAtAwkwardMomentsTest(LinkCase):
    LINKED_PORTS = ("COM1",)

    def close_and_expect_exit(self, app, sim):
        entries = len(app.log())
        asked = time.monotonic()
        app.close()
        self.assertEqual(app.wait_exit(30), 0)
        # A second on an idle machine; generous here, since the machine may be loaded.
        self.assertLess(time.monotonic() - asked, 10, "the program waited for its job")
        self.assert_port_released(sim)
        return entries

    def test_close_while_the_job_drains_the_line(self):
        with self.round_sim("--pattern", "mix") as sim:
            app = self.app = self.launch_app()
            self.assertEqual(len(app.log()), 1)
            self.start_job("Read TRX", "COM1")
            # Posted straight behind the click: it arrives within the job's 100 ms settle time.
            self.close_and_expect_exit(app, sim)
            self.assertLess(len(sim.commands()), 1024)

    def test_close_while_an_error_box_is_up(self):
        with self.round_sim("--silent") as sim:
            app = self.app = self.launch_app()
            self.start_job("Read TRX", "COM1")
            box = app.wait_box(30, title="Error")
            self.assertEqual(box["text"], "TRX not responding!")
            # The close request as the taskbar or a system shutdown sends it, past the box.
            self.close_and_expect_exit(app, sim)
            self.assertEqual(sim.commands(), ["XL1000;"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
