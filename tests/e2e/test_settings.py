"""Load File and Save File end to end: the real dialogs, boxes, log entries and files under Wine."""

import contextlib
import os
import shutil
import subprocess
import unittest

import harness
from harness import QuellmarkTestCase, win_path

LOAD_TITLE = "Please choose file to load"
SAVE_TITLE = "Please choose file to save"
ALL_BYTES = bytes(range(256)) * 4


def _holder():
    return os.path.join(os.path.dirname(harness._required_path("QM_DRIVER")), "file_holder.exe")


def _pattern(seed):
    return bytes((i * 7 + seed) % 256 for i in range(1024))


def _mounted(path):
    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        return any(line.split()[1] == path for line in mounts)


class SettingsFileTest(QuellmarkTestCase):
    def setUp(self):
        super().setUp()
        self.dir = harness.session().next_name("files")
        self.images = harness.session().next_name("images")
        os.makedirs(self.dir)
        os.makedirs(self.images)
        self.app = self.launch_app()

    # -- acting through the window

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def choose(self, button, title, name):
        self.assertTrue(self.app.click(button), f"{button} is disabled")
        if name is None:
            self.assertTrue(self.app.cancel_file_dialog(title))
        else:
            self.assertTrue(self.app.fill_file_dialog(title, name), f"{title} kept {name}")

    def expect_error(self, text, before):
        """The error box, shown before its log entry is made; closes it."""
        box = self.app.wait_box(title="Error")
        self.assertEqual((box["text"], box["icon"]), (text, "error"))
        self.assertEqual([b["text"] for b in box["buttons"]], ["OK"])
        self.assertEqual(len(self.messages()), before, "logged before the box was closed")
        self.assertTrue(self.app.answer_box("OK", box))

    def load(self, name):
        """Loads name (a Wine path, or None to cancel); returns the new log message."""
        before = len(self.messages())
        self.choose("Load File", LOAD_TITLE, name)
        return self.new_messages(before)[0]

    def refused_load(self, name):
        before = len(self.messages())
        self.choose("Load File", LOAD_TITLE, name)
        self.expect_error("May not load the file!", before)
        return self.new_messages(before)[0]

    def save(self, name):
        before = len(self.messages())
        self.choose("Save File", SAVE_TITLE, name)
        return self.new_messages(before)[0]

    def refused_save(self, name, answer=None):
        before = len(self.messages())
        self.choose("Save File", SAVE_TITLE, name)
        if answer is not None:
            self.answer_question(answer)
        self.expect_error("May not create the file!", before)
        return self.new_messages(before)[0]

    def answer_question(self, answer):
        box = self.app.wait_box()
        self.assertEqual((box["title"], box["text"], box["icon"]),
                         ("", "File exists, replace?", "warning"))
        self.assertEqual([(b["text"], b["default"]) for b in box["buttons"]],
                         [("Yes", True), ("No", False)])
        self.assertTrue(self.app.answer_box(answer, box))

    def image(self):
        """The settings image now, by saving it under a fresh name."""
        target = os.path.join(self.images, f"image-{len(os.listdir(self.images))}.set")
        self.assertEqual(self.save(win_path(target)), " Save file:" + win_path(target))
        with open(target, "rb") as f:
            return f.read()

    # -- files

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def free(self, path):
        """Another program can open, rename and delete the file (which it does)."""
        done = subprocess.run(["wine", _holder(), "free", win_path(path)], env=harness.session().env,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.stdout.strip(), "OPEN 1 RENAME 1 DELETE 1", path)
        self.assertFalse(os.path.exists(path))

    @contextlib.contextmanager
    def held(self, path):
        """Another program holds the file open with share mode 0 for the block's duration."""
        holder = subprocess.Popen(["wine", _holder(), "hold", win_path(path)],
                                  env=harness.session().env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(holder.stdout.readline().strip(), "HELD")
            yield
        finally:
            holder.stdin.close()
            try:
                holder.wait(30)
            except subprocess.TimeoutExpired:
                holder.kill()
                holder.wait()
            holder.stdout.close()

    def attributes(self, path):
        """The DOS attribute letters Wine's attrib shows for the file."""
        done = subprocess.run(["wine", "cmd", "/c", "attrib", win_path(path)],
                              env=harness.session().env, capture_output=True, text=True, timeout=60)
        line = done.stdout.strip()
        self.assertTrue(line.endswith(win_path(path)), done.stdout)
        return set(line[: -len(win_path(path))].split())

    def attrib(self, change, path):
        """Sets or clears one attribute with Wine's attrib, e.g. "+h"."""
        subprocess.run(["wine", "cmd", "/c", "attrib", change, win_path(path)],
                       env=harness.session().env, capture_output=True, timeout=60, check=True)
        self.assertEqual(change[0] == "+", change[1].upper() in self.attributes(path))


class RoundTripTest(SettingsFileTest):
    def test_save_before_load_then_load_and_save_again(self):
        zeros = self.path("zeros.set")
        self.assertEqual(self.save(win_path(zeros)), " Save file:" + win_path(zeros))
        self.assertEqual(self.read(zeros), bytes(1024))

        source = self.write("Einstellungen_Müller_設定.set", ALL_BYTES)
        before = len(self.messages())
        self.assertTrue(self.app.click("Load File"))
        dialog = self.app.wait_box(title=LOAD_TITLE)
        self.assertEqual(dialog["kind"], "file")
        self.assertTrue(dialog["owner_is_main"])
        self.assertFalse(dialog["main_enabled"], "the window takes input behind the dialog")
        self.assertTrue(self.app.fill_file_dialog(LOAD_TITLE, win_path(source)))
        self.assertEqual(self.new_messages(before), [" Load file:" + win_path(source)])
        self.assertTrue(self.app.window()["enabled"])

        copy = self.path("Kopie_設定.set")
        self.assertEqual(self.save(win_path(copy)), " Save file:" + win_path(copy))
        self.assertEqual(self.read(copy), ALL_BYTES)
        self.assertEqual(sorted(os.listdir(self.dir)),
                         sorted(["zeros.set", "Einstellungen_Müller_設定.set", "Kopie_設定.set"]))
        for path in (zeros, source, copy):
            self.free(path)


class RefusedLoadTest(SettingsFileTest):
    def test_refusals_leave_the_image_and_free_the_file(self):
        loaded = self.write("loaded.set", _pattern(3))
        self.load(win_path(loaded))
        self.write("report.set", _pattern(9))
        cases = [
            ("empty", self.write("empty.set", b""), win_path(self.path("empty.set"))),
            ("1023 bytes", self.write("short.set", bytes(1023)), win_path(self.path("short.set"))),
            ("1025 bytes", self.write("long.set", bytes(1025)), win_path(self.path("long.set"))),
            ("missing", None, win_path(self.path("missing.set"))),
            ("no extension added", None, win_path(self.path("report"))),
        ]
        for label, path, name in cases:
            with self.subTest(label):
                self.assertEqual(self.refused_load(name), " May not load the file:" + name)
                self.assertEqual(self.image(), _pattern(3))
                if path is not None:
                    self.free(path)

        with self.subTest("cancelled"):
            self.assertEqual(self.refused_load(None), " May not load the file:")
            self.assertEqual(self.image(), _pattern(3))

        with self.subTest("held open by another program"):
            held = self.write("held.set", _pattern(5))
            with self.held(held):
                self.assertEqual(self.refused_load(win_path(held)),
                                 " May not load the file:" + win_path(held))
                self.assertEqual(self.image(), _pattern(3))
            self.free(held)

    def test_the_free_check_sees_a_file_held_open(self):
        held = self.write("held.set", _pattern(5))
        with self.held(held):
            done = subprocess.run(["wine", _holder(), "free", win_path(held)],
                                  env=harness.session().env, capture_output=True, text=True,
                                  timeout=60)
            self.assertEqual(done.stdout.strip(), "OPEN 0 RENAME 0 DELETE 0")
        self.free(held)

    def test_a_read_that_comes_up_short_loads_nothing(self):
        if not os.path.exists("/dev/fuse") or os.geteuid() != 0:
            self.skipTest("needs root and /dev/fuse for a file system whose reads fail")
        from failing_read_fs import FailingReadFs

        self.load(win_path(self.write("loaded.set", _pattern(3))))
        mount = self.path("fuse")
        # The same file system with reads that succeed: the failure below is the read's alone.
        with FailingReadFs(mount, "whole.set", 1024, 1024):
            name = win_path(os.path.join(mount, "whole.set"))
            self.assertEqual(self.load(name), " Load file:" + name)
        self.assertEqual(self.image(), b"\x7f" * 1024)
        with FailingReadFs(mount, "broken.set", 1024, 512):
            name = win_path(os.path.join(mount, "broken.set"))
            self.assertEqual(self.refused_load(name), " May not load the file:" + name)
        self.assertEqual(self.image(), b"\x7f" * 1024, "half a file reached the image")


class ExtensionRuleTest(SettingsFileTest):
    def test_saved_names(self):
        cases = [
            ("report", "report.set"),
            ("report.SET", "report.SET"),
            ("report.Set", "report.Set"),
            ("report.txt", "report.txt.set"),
            ("report.se", "report.se.set"),
            ("set", "set.set"),
            (".se", ".se.set"),
            ("設定", "設定.set"),
        ]
        self.load(win_path(self.write("loaded.set", ALL_BYTES)))
        for typed, saved in cases:
            with self.subTest(typed):
                folder = self.path(f"case-{cases.index((typed, saved))}")
                os.makedirs(folder)
                expected = win_path(os.path.join(folder, saved))
                self.assertEqual(self.save(win_path(os.path.join(folder, typed))),
                                 " Save file:" + expected)
                self.assertEqual(os.listdir(folder), [saved])
                self.assertEqual(self.read(os.path.join(folder, saved)), ALL_BYTES)
                self.free(os.path.join(folder, saved))

    def test_a_name_too_long_for_the_extension(self):
        # The dialog returns at most 259 characters; ".set" must still fit behind them.
        room = 259 - len(win_path(self.dir)) - 1
        fits = "f" * (room - 4)
        with self.subTest("just fits"):
            self.assertEqual(self.save(win_path(self.path(fits))),
                             " Save file:" + win_path(self.path(fits + ".set")))
            self.assertEqual(len(win_path(self.path(fits + ".set"))), 259)
            self.free(self.path(fits + ".set"))
        with self.subTest("one too many"):
            typed = win_path(self.path("g" * (room - 3)))
            self.assertEqual(self.refused_save(typed), " May not create the file:" + typed + ".set")
            self.assertEqual(os.listdir(self.dir), [])


class ReplaceTest(SettingsFileTest):
    def setUp(self):
        super().setUp()
        self.load(win_path(self.write("loaded.set", ALL_BYTES)))
        os.remove(self.path("loaded.set"))

    def test_question_about_the_extended_name(self):
        old = self.write("report.set", _pattern(1))
        with self.subTest("No"):
            before = len(self.messages())
            self.choose("Save File", SAVE_TITLE, win_path(self.path("report")))
            self.answer_question("No")
            self.assertEqual(self.read(old), _pattern(1))
            # The next action's entry comes straight after the last one: No logged nothing.
            other = self.path("other.set")
            self.save(win_path(other))
            self.assertEqual(self.messages()[before:], [" Save file:" + win_path(other)])
            self.free(other)
            self.assertEqual(sorted(os.listdir(self.dir)), ["report.set"])
        with self.subTest("Yes"):
            self.choose("Save File", SAVE_TITLE, win_path(self.path("report")))
            before = len(self.messages())
            self.answer_question("Yes")
            self.assertEqual(self.new_messages(before), [" Save file:" + win_path(old)])
            self.assertEqual(self.read(old), ALL_BYTES)
            self.assertEqual(os.listdir(self.dir), ["report.set"])
            self.free(old)

    def test_yes_on_a_file_that_may_not_be_written(self):
        def read_only(path):
            self.attrib("+r", path)
            return lambda: self.attrib("-r", path)

        def immutable(path):
            subprocess.run(["chattr", "+i", path], check=True)
            self.addCleanup(lambda: os.path.exists(path) and subprocess.run(["chattr", "-i", path]))
            return lambda: subprocess.run(["chattr", "-i", path], check=True)

        for label, lock in (("read-only", read_only), ("immutable", immutable)):
            with self.subTest(label):
                os.makedirs(self.path(label))
                old = self.write(os.path.join(label, "locked.set"), _pattern(2))
                unlock = lock(old)
                self.assertEqual(self.refused_save(win_path(old), answer="Yes"),
                                 " May not create the file:" + win_path(old))
                self.assertEqual(self.read(old), _pattern(2))
                self.assertEqual(os.listdir(self.path(label)), ["locked.set"])
                unlock()
                self.free(old)

    def test_a_file_held_open_is_not_asked_about_and_not_written(self):
        old = self.write("held.set", _pattern(4))
        with self.held(old):
            # A question would stand where the error box is expected.
            self.assertEqual(self.refused_save(win_path(old)),
                             " May not create the file:" + win_path(old))
        self.assertEqual(self.read(old), _pattern(4))
        self.assertEqual(os.listdir(self.dir), ["held.set"])
        self.free(old)

    def test_a_hidden_file_is_replaced_and_stays_hidden(self):
        old = self.write("hidden.set", _pattern(6))
        self.attrib("+h", old)
        self.choose("Save File", SAVE_TITLE, win_path(old))
        before = len(self.messages())
        self.answer_question("Yes")
        self.assertEqual(self.new_messages(before), [" Save file:" + win_path(old)])
        self.assertEqual(self.read(old), ALL_BYTES)
        self.assertIn("H", self.attributes(old))
        self.assertEqual(os.listdir(self.dir), ["hidden.set"])
        self.free(old)


class CancelledSaveTest(SettingsFileTest):
    def test_cancel(self):
        self.assertEqual(self.refused_save(None), " May not create the file")
        self.assertEqual(os.listdir(self.dir), [])


class FullDiskTest(SettingsFileTest):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to mount a small file system")
        self.disk = None
        super().setUp()
        self.load(win_path(self.write("loaded.set", ALL_BYTES)))
        self.disk = self.path("disk")
        os.makedirs(self.disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.disk], check=True)
        self.addCleanup(self.unmount)

    def unmount(self):
        if _mounted(self.disk):
            subprocess.run(["umount", self.disk], check=False)
        if _mounted(self.disk):
            subprocess.run(["umount", "-l", self.disk], check=True)
        shutil.rmtree(self.disk)

    def fill(self):
        with self.assertRaises(OSError), open(os.path.join(self.disk, "filler"), "wb") as f:
            while True:
                f.write(b"F" * 4096)
                f.flush()

    def test_a_save_that_cannot_complete_keeps_the_previous_file(self):
        previous = os.path.join(self.disk, "previous.set")
        with open(previous, "wb") as f:
            f.write(_pattern(8))
        self.fill()
        self.assertEqual(self.refused_save(win_path(previous), answer="Yes"),
                         " May not create the file:" + win_path(previous))
        self.assertEqual(self.read(previous), _pattern(8))
        fresh = os.path.join(self.disk, "fresh.set")
        self.assertEqual(self.refused_save(win_path(fresh)), " May not create the file:" +
                         win_path(fresh))
        self.assertEqual(sorted(os.listdir(self.disk)), ["filler", "previous.set"])
        self.free(previous)


if __name__ == "__main__":
    unittest.main()
