"""The shell: the main window, its controls and their start state, the first log entry, keyboard
navigation and the ways to close the window."""

import re
import time
import unittest

import harness

WS_MAXIMIZEBOX = 0x00010000
WS_MINIMIZEBOX = 0x00020000
WS_TABSTOP = 0x00010000
WS_THICKFRAME = 0x00040000
WS_SYSMENU = 0x00080000
WS_HSCROLL = 0x00100000
WS_BORDER = 0x00800000
WS_CAPTION = 0x00C00000
WS_VISIBLE = 0x10000000
WS_CHILD = 0x40000000
WS_EX_CLIENTEDGE = 0x00000200

LBS_NOTIFY = 0x0001
LBS_SORT = 0x0002
LBS_MULTIPLESEL = 0x0008
LBS_HASSTRINGS = 0x0040
LBS_NOINTEGRALHEIGHT = 0x0100
LBS_EXTENDEDSEL = 0x0800
BS_TYPEMASK = 0x000F
BS_PUSHBUTTON = 0x0000
BS_NOTIFY = 0x4000
CBS_TYPEMASK = 0x0003
CBS_DROPDOWNLIST = 0x0003
CBS_SORT = 0x0100
SS_TYPEMASK = 0x001F
SS_LEFT = 0x0000
SS_NOPREFIX = 0x0080
SS_SUNKEN = 0x1000
SBARS_SIZEGRIP = 0x0100
PBS_SMOOTH = 0x0001

# name, class, text, x, y, width, height; in the order of creation.
CONTROL_TABLE = [
    ("LogList", "ListBox", "", 10, 50, 580, 320),
    ("ReadButton", "Button", "Read TRX", 10, 10, 80, 30),
    ("WriteButton", "Button", "Write TRX", 110, 10, 80, 30),
    ("LoadButton", "Button", "Load File", 210, 10, 80, 30),
    ("SaveButton", "Button", "Save File", 310, 10, 80, 30),
    ("PortCombo", "ComboBox", "", 510, 12, 80, 25),
    ("PortLabel", "Static", "PORT:", 470, 16, 40, 20),
]

# name, style bits that must be set, style bits that must be clear, exstyle bits that must be set.
STYLE_TABLE = [
    ("LogList", LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY,
     LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL | WS_HSCROLL, WS_EX_CLIENTEDGE),
    ("ReadButton", WS_TABSTOP, BS_NOTIFY, 0),
    ("WriteButton", WS_TABSTOP, BS_NOTIFY, 0),
    ("LoadButton", WS_TABSTOP, BS_NOTIFY, 0),
    ("SaveButton", WS_TABSTOP, BS_NOTIFY, 0),
    ("PortCombo", 0, CBS_SORT, 0),
    ("PortLabel", SS_NOPREFIX, WS_BORDER | SS_SUNKEN, 0),
    ("StatusBar", 0, SBARS_SIZEGRIP, 0),
    ("ProgressBar", PBS_SMOOTH, 0, 0),
]

TAB_CYCLE = ["LogList", "ReadButton", "WriteButton", "LoadButton", "SaveButton", "PortCombo"]

STAMPED_START = re.compile(r"^(\d\d):(\d\d):(\d\d) Start program$")


def seconds_of_day(t):
    local = time.localtime(t)
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec


class ShellAtStartTest(harness.QuellmarkTestCase):
    """Read-only checks on one launch with no serial port mapped."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.app = cls.launch_app_for_class()
        cls.facts = cls.app.window()
        cls.all_controls = cls.app.controls()

    def named(self, name):
        cls_name, text = harness.CONTROLS[name]
        found = [c for c in self.all_controls
                 if c["class"] == cls_name and (text is None or c["text"] == text)]
        self.assertEqual(len(found), 1, f"controls that are {name}")
        return found[0]

    def test_window_title_styles_size_and_place(self):
        w = self.facts
        self.assertEqual(w["title"], "Quellmark 1.0")
        for bit in (WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX):
            self.assertEqual(w["style"] & bit, bit, f"style bit {bit:#x} set")
        for bit in (WS_MAXIMIZEBOX, WS_THICKFRAME):
            self.assertEqual(w["style"] & bit, 0, f"style bit {bit:#x} clear")
        self.assertEqual((w["client"]["width"], w["client"]["height"]), (600, 400))
        outer = self.app.adjust_rect(w["style"], w["exstyle"], 600, 400)
        self.assertEqual((w["rect"]["width"], w["rect"]["height"]),
                         (outer["width"], outer["height"]))
        screen = w["screen"]
        self.assertEqual((screen["width"], screen["height"]), harness.SCREEN)
        self.assertEqual(w["rect"]["left"], max(0, (screen["width"] - outer["width"]) // 2))
        self.assertEqual(w["rect"]["top"], max(0, (screen["height"] - outer["height"]) // 2))
        self.assertTrue(w["visible"])
        self.assertFalse(w["iconic"])
        self.assertFalse(w["zoomed"])
        self.assertTrue(w["foreground"], "the window is the active one after start-up")

    def test_creation_order(self):
        # Descendants come parent first, siblings in creation order: the progress bar right after
        # its status bar.
        expected = [harness.CONTROLS[n] for n in ["StatusBar", "ProgressBar"] + TAB_CYCLE
                    + ["PortLabel"]]
        got = [(c["class"], c["text"]) for c in self.all_controls]
        self.assertEqual(len(got), len(expected), got)
        for (cls_name, text), (got_class, got_text) in zip(expected, got):
            self.assertEqual(got_class, cls_name)
            if text is not None:
                self.assertEqual(got_text, text)

    def test_control_table(self):
        for name, cls_name, text, x, y, width, height in CONTROL_TABLE:
            with self.subTest(control=name):
                c = self.named(name)
                self.assertEqual(c["class"], cls_name)
                self.assertEqual(c["text"], text)
                r = c["rect"]
                self.assertEqual((r["left"], r["top"], r["width"], r["height"]),
                                 (x, y, width, height))
                self.assertEqual(c["parent"], self.facts["hwnd"])
                self.assertTrue(c["visible"])
                self.assertTrue(c["enabled"])
                self.assertEqual(c["style"] & WS_CHILD, WS_CHILD)

    def test_status_bar_along_the_bottom_holding_the_progress_bar(self):
        bar = self.named("StatusBar")
        r = bar["rect"]
        self.assertEqual(bar["parent"], self.facts["hwnd"])
        self.assertTrue(bar["visible"])
        self.assertEqual((r["left"], r["right"], r["bottom"]), (0, 600, 400),
                         "inside the 600 x 400 client area, along its bottom edge")
        self.assertGreaterEqual(r["height"], 18)
        status = self.app.status()
        self.assertEqual(status["parts"], [600])
        field = status["field"]
        progress = self.named("ProgressBar")
        self.assertEqual(progress["parent"], bar["hwnd"])
        self.assertTrue(progress["visible"])
        p = progress["parent_rect"]
        self.assertEqual((p["left"], p["top"], p["width"], p["height"]),
                         (field["left"] + 2, field["top"] + 3, field["width"] - 8,
                          field["height"] - 6))
        self.assertEqual(self.app.progress(), {"ok": True, "pos": 0, "low": 0, "high": 100})

    def test_control_styles(self):
        for name, required, forbidden, ex_required in STYLE_TABLE:
            with self.subTest(control=name):
                c = self.named(name)
                self.assertEqual(c["style"] & required, required, f"{c['style']:#x}")
                self.assertEqual(c["style"] & forbidden, 0, f"{c['style']:#x}")
                self.assertEqual(c["exstyle"] & ex_required, ex_required, f"{c['exstyle']:#x}")
                self.assertEqual(c["style"] & WS_VISIBLE, WS_VISIBLE)
        for name in ("ReadButton", "WriteButton", "LoadButton", "SaveButton"):
            with self.subTest(control=name, kind="plain push button, not the default"):
                self.assertEqual(self.named(name)["style"] & BS_TYPEMASK, BS_PUSHBUTTON)
        self.assertEqual(self.named("PortCombo")["style"] & CBS_TYPEMASK, CBS_DROPDOWNLIST)
        self.assertEqual(self.named("PortLabel")["style"] & SS_TYPEMASK, SS_LEFT)

    def test_port_combo_empty_without_ports(self):
        combo = self.app.combo()
        self.assertEqual(combo["items"], [])
        self.assertEqual(combo["selection"], -1)
        self.assertEqual(combo["text"], "")

    def test_log_holds_one_stamped_start_entry(self):
        facts = self.app.log_facts()
        self.assertEqual(facts["count"], 1, facts["items"])
        match = STAMPED_START.match(facts["items"][0])
        self.assertIsNotNone(match, facts["items"][0])
        hours, minutes, seconds = (int(g) for g in match.groups())
        self.assertLess(hours, 24)
        self.assertLess(minutes, 60)
        self.assertLess(seconds, 60)
        stamp = hours * 3600 + minutes * 60 + seconds
        earliest = seconds_of_day(self.app.launched_at)
        latest = seconds_of_day(self.app.ready_at + 1)
        if latest < earliest:  # the run crossed midnight
            self.assertTrue(stamp >= earliest or stamp <= latest, (stamp, earliest, latest))
        else:
            self.assertTrue(earliest <= stamp <= latest, (stamp, earliest, latest))
        self.assertEqual(facts["selection"], -1, "the new entry is not selected")
        self.assertEqual(facts["horizontal_extent"], 0)


class ShellKeyboardTest(harness.QuellmarkTestCase):
    """Real key presses on one launch; no port is mapped, so a job would show a box at once."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.app = cls.launch_app_for_class()
        cls.hwnds = {name: cls.app.control(name)["hwnd"] for name in TAB_CYCLE}

    def tearDown(self):
        # A box left by a failed check would hold the keyboard for the next test.
        self.app.dismiss_boxes()

    def focused_name(self):
        focus = self.app.focus()
        for name, hwnd in self.hwnds.items():
            if focus is not None and focus["hwnd"] == hwnd:
                return name
        return None if focus is None else f"{focus['class']} {focus['text']!r}"

    def wait_focus(self, name):
        self.wait_until(lambda: self.focused_name() == name, 10,
                        message=f"focus on {name} (it is on {self.focused_name()})")

    def focus_log_list(self):
        # Clicks below the only entry, so nothing gets selected.
        self.app.real_click(300, 300)
        self.wait_focus("LogList")

    def test_tab_visits_the_controls_in_order_and_shift_tab_goes_back(self):
        self.focus_log_list()
        for name in TAB_CYCLE[1:] + TAB_CYCLE[:1]:
            self.app.key("Tab")
            self.wait_focus(name)
        for name in list(reversed(TAB_CYCLE))[:-1] + ["LogList"]:
            self.app.key("shift+Tab")
            self.wait_focus(name)

    def test_enter_clicks_nothing(self):
        self.focus_log_list()
        self.app.key("Return")
        for name in TAB_CYCLE[1:]:
            self.app.key("Tab")
            self.wait_focus(name)
            self.app.key("Return")
        # A click on any button would show a dialog or an error box within this time.
        self.assertTrue(self.app.no_box_within(3.0), self.app.boxes())
        self.assertEqual(len(self.app.log()), 1, self.app.log())
        self.assertTrue(self.app.running())

    def test_selecting_and_double_clicking_the_log_entry_changes_nothing(self):
        first = self.app.log_facts()
        entry_y = 50 + first["item_height"] // 2 + 2
        self.app.real_click(100, entry_y)
        self.wait_until(lambda: self.app.log_facts()["selection"] == 0, 10,
                        message="the clicked entry selected")
        self.app.real_double_click(100, entry_y)
        self.assertTrue(self.app.no_box_within(2.0), self.app.boxes())
        after = self.app.log_facts()
        self.assertEqual(after["items"], first["items"])
        self.assertEqual(after["top"], 0)
        self.assertTrue(self.app.running())


class ShellMinimiseTest(harness.QuellmarkTestCase):
    def test_minimise_and_restore_change_nothing_else(self):
        app = self.launch_app()
        before_window = app.window()
        before_controls = app.controls()
        app.syscommand("minimize")
        self.wait_until(lambda: app.window()["iconic"], 10, message="the window minimised")
        app.syscommand("restore")
        # Wine clears the iconic state a moment before it moves the window back from its
        # minimised place, so the restore is complete once both hold.
        self.wait_until(lambda: not app.window()["iconic"]
                        and app.window()["rect"] == before_window["rect"], 10,
                        message="the window restored to where it was")
        after_window = app.window()
        for key in ("rect", "client", "style", "exstyle", "visible", "enabled"):
            self.assertEqual(after_window[key], before_window[key], key)
        shape = [(c["class"], c["text"], c["rect"], c["enabled"], c["visible"])
                 for c in before_controls]
        self.assertEqual([(c["class"], c["text"], c["rect"], c["enabled"], c["visible"])
                          for c in app.controls()], shape)
        self.assertEqual(len(app.log()), 1)


class ShellCloseTest(harness.QuellmarkTestCase):
    """Every way to close the window ends the process with exit status 0."""

    def test_each_way_to_close_exits_with_status_0(self):
        for how in ("wm_close", "sc_close", "alt_f4"):
            with self.subTest(how=how):
                app = self.launch_app()
                app.close(how)
                self.assertEqual(app.wait_exit(30), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
