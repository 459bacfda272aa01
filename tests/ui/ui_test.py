#!/usr/bin/env python3
"""Window tests: Tidemark.exe under Wine on a virtual display, worked from
outside by the driver program against a report double on the program's
built-in server port, with the game simulator as the game.

Run one case:  ui_test.py CASE   (CTest runs each case as a test of its own)
Exit 77 (skipped) when there is no display to run on.

Configuration, from the environment (set by tests/ui/CMakeLists.txt):
  TIDEMARK_UI_EXE, TIDEMARK_UI_DRIVER, TIDEMARK_UI_GAMESIM  the three programs
  TIDEMARK_UI_PREFIX    the Wine prefix of the window tests
  TIDEMARK_UI_WINE_RUN  tools/wine-run.sh (creates the prefix)
  TIDEMARK_UI_HOST, TIDEMARK_UI_PORT  the server address built into the program
  TIDEMARK_UI_SCRATCH   where each case keeps its copy of the program
  TIDEMARK_UI_SHOTS     where screenshots go
"""

import json
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from report_double import LANGUAGES, ReportDouble, Slow, port_is_free  # noqa: E402
from ui_harness import Driver, Program, Wine, write_ini  # noqa: E402

SKIPPED = 77
IMPORT = "/usr/bin/import-im6.q16"
CONVERT = "/usr/bin/convert-im6.q16"
# The notification area: the right end of the virtual desktop's taskbar.
TRAY_AREA = "48x16+976+750"

SC_MINIMIZE = 0xF020
SC_CLOSE = 0xF060
WM_LBUTTONDBLCLK = 0x0203
WM_RBUTTONDOWN = 0x0204
VK_RETURN = 0x0D
VK_ESCAPE = 0x1B
VK_DOWN = 0x28
IDM_OPEN = 40003
IDM_EXIT = 40004
IDC_CLOSE = 2
IDC_MYPAGE = 1013
IDC_EXEC_GAME = 1015
IDC_EXIT_TO_TRAY = 1018
IDC_EXEC_ON_TRAY = 1020
IDC_HOME_LINK = 1027
IDC_LANGUAGE = 1028

PATTERNS = '{"1":{"keyword":["gamesim"],"code":"0","trace":false}}'
EN_SPECIFY = "Please specify the language."
EN_WAITING = "Waiting for the game to launch."

# Bounds of this program's shutdown: the window is gone at once, and the
# process has ended within one worker step (10 s stop bound) or, mid-
# exchange with a silent server, within the HTTP client's 30 s bound.
SHUTDOWN_AFTER_LOCATE_S = 12
SHUTDOWN_AFTER_EXCHANGE_S = 35


def config():
    return {name: os.environ.get("TIDEMARK_UI_" + name, "") for name in
            ("EXE", "DRIVER", "GAMESIM", "PREFIX", "WINE_RUN", "HOST", "PORT", "SCRATCH", "SHOTS")}


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class GameSimulator:
    """ffxiv_dx11.exe from the simulator's copies, with a control folder."""

    def __init__(self, wine, exe, folder, args=()):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.commands = os.path.join(folder, "commands.txt")
        open(self.commands, "w").close()
        self.process = wine.start(exe, ["--control", windows_path(folder), *args], cwd=folder,
                                  output=os.path.join(folder, "gamesim.out"))

    def add_line(self, code, text):
        with open(self.commands, "a") as f:
            f.write(f"add {code} {text.encode('utf-8').hex()}\n")

    def stop(self):
        if self.process.poll() is None:
            with open(self.commands, "a") as f:
                f.write("exit\n")
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class WindowTest(unittest.TestCase):
    cfg = config()

    def setUp(self):
        cfg = self.cfg
        self.port = int(cfg["PORT"])
        if cfg["HOST"] not in ("127.0.0.1", "localhost"):
            self.skipTest(f"the program is built for server {cfg['HOST']}, not a loopback address")
        self.wine = Wine(cfg["PREFIX"], cfg["WINE_RUN"])
        self.wine.prepare()
        self.folder = os.path.join(cfg["SCRATCH"], self.id().split(".")[-1])
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.driver = Driver(self.wine, cfg["DRIVER"], self.folder)
        rc, _ = self.driver("wait-gone", 5000)
        self.assertEqual(rc, 0, "a Tidemark window of an earlier run is still open")
        self.program = Program(self.wine, cfg["EXE"], os.path.join(self.folder, "program"))
        self.games = []
        self.server = None

    def tearDown(self):
        self.program.stop_all()
        for game in self.games:
            game.stop()
        if self.server:
            self.server.close()

    # --- helpers ---------------------------------------------------------

    def serve(self, **answers):
        self.assertTrue(port_is_free(self.port), f"port {self.port} of the report double is taken")
        self.server = ReportDouble(self.port, patterns=PATTERNS)
        for kind, answer in answers.items():
            setattr(self.server, kind, answer)
        return self.server

    def start_game(self, *args):
        game = GameSimulator(self.wine, self.cfg["GAMESIM"], os.path.join(self.folder, f"game{len(self.games)}"), args)
        self.games.append(game)
        return game

    def preset(self, **general):
        sections = {"general": {k: v for k, v in general.items() if not k.startswith("pos_")}}
        position = {k: v for k, v in general.items() if k.startswith("pos_")}
        if position:
            sections["window"] = position
        write_ini(self.program.ini, sections)

    def start(self, lang=None):
        process = self.program.start(lang=lang)
        state = self.driver.wait_window()
        self.assertIsNotNone(state, "the main window did not appear")
        return process, state

    def wait_state(self, predicate, timeout=10.0, what="the expected window state"):
        state = self.driver.wait_until(predicate, timeout)
        self.assertTrue(state is not None and predicate(state), f"{what}; last state: {state}")
        return state

    def wait_exit(self, process, timeout):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.fail(f"the program did not end within {timeout} s")

    def general(self):
        return self.program.settings().get("general", {})

    def screenshot(self, name):
        shots = self.cfg["SHOTS"]
        display = os.environ.get("DISPLAY")
        if not shots or not display or not os.path.exists(IMPORT):
            return
        os.makedirs(shots, exist_ok=True)
        time.sleep(0.5)  # let the window paint
        subprocess.run([IMPORT, "-display", display, "-window", "root", os.path.join(shots, name + ".png")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def tray_colours(self):
        """How many colours the notification area shows: one while it is
        empty, many with an icon in it."""
        display = os.environ["DISPLAY"]
        shot = os.path.join(self.folder, "tray.png")
        time.sleep(0.5)
        subprocess.run([IMPORT, "-display", display, "-window", "root", shot], check=True)
        out = subprocess.run([CONVERT, shot, "-crop", TRAY_AREA, "+repage", "-format", "%k", "info:"],
                             check=True, capture_output=True, text=True).stdout
        return int(out.strip())

    def assert_centred(self, state):
        left, top, right, bottom = map(int, state["rect"].split())
        area = list(map(int, state["workarea"].split()))
        self.assertLessEqual(abs((left + right) - (area[0] + area[2])), 3, state["rect"] + " in " + state["workarea"])
        self.assertLessEqual(abs((top + bottom) - (area[1] + area[3])), 3, state["rect"] + " in " + state["workarea"])

    # --- start-up ----------------------------------------------------------

    def test_first_start_opens_config_centred_and_waits_for_a_language(self):
        server = self.serve()
        process, _ = self.start()
        state = self.wait_state(lambda s: s["visible"] == "1", what="the window shows")
        self.assertEqual(state["tab.count"], "2")
        self.assertEqual((state["tab.0"], state["tab.1"]), ("Log", "Config"))
        self.assertEqual((state["tab.selected"], state["page"]), ("1", "config"))
        self.assert_centred(state)
        state = self.wait_state(lambda s: s["status"] == EN_SPECIFY, what="status asks for a language")
        self.assertEqual(state["ctl.1013.enabled"], "0", "Jump to mypage without a player id")
        self.assertEqual((state["combo.count"], state["combo.0"], state["combo.1"]), ("2", "English", "日本語"))
        self.assertEqual(state["combo.selected"], "-1")
        self.assertEqual(state["ctl.1027.text"], f"http://127.0.0.1:{self.port}/")
        self.assertEqual([state[f"ctl.{i}.checked"] for i in (IDC_EXEC_GAME, IDC_EXIT_TO_TRAY, IDC_EXEC_ON_TRAY)],
                         ["0", "0", "0"])
        time.sleep(1.2)
        self.assertEqual(len(server.requests_of("lang")), 1)
        self.assertEqual(server.requests_of("pattern"), [], "no pattern request before a language is chosen")
        self.assertFalse(os.path.exists(self.program.ini), "reading the settings created the file")
        self.screenshot("en-config-first-start")

        self.driver("select", IDC_LANGUAGE, 1)
        self.assertEqual(self.general().get("language"), "ja", "the choice is saved at once")
        requests = server.wait_for("pattern", timeout=3)
        self.assertEqual([r.field("lang") for r in requests], ["ja"])
        self.wait_state(lambda s: s["status"].startswith(EN_WAITING), what="the worker goes on to wait for the game")

        self.driver("click", IDC_CLOSE)
        self.assertEqual(self.wait_exit(process, 15), 0)
        left, top, _, _ = state["rect"].split()
        window = self.program.settings().get("window", {})
        self.assertEqual((window.get("pos_x"), window.get("pos_y")), (left, top), "position saved on exit")

    def assert_start_fails_with_connection_text(self, process):
        rc, box = self.driver("message-box", 15000)
        self.assertEqual(rc, 0, "no message box")
        self.assertEqual((box["caption"], box["text"]), ("Information", "The connection to the server failed."))
        self.assertEqual(self.wait_exit(process, 20), 1)
        self.assertEqual(self.driver("wait-gone", 0)[0], 0)

    def test_language_list_that_is_not_an_array_says_so_and_ends(self):
        for answer in ('{"code":"en","name2":"English"}', "", "Service Unavailable"):
            with self.subTest(answer=answer):
                self.serve(language_list=answer)
                self.assert_start_fails_with_connection_text(self.program.start())
                self.assertEqual(len(self.server.requests_of("lang")), 1)
                self.assertEqual(self.server.requests_of("pattern"), [], "no worker was started")
                self.server.close()
                self.server = None

    def test_unreachable_server_says_so_and_ends(self):
        if not port_is_free(self.port):
            self.skipTest(f"something listens on port {self.port}")
        self.assert_start_fails_with_connection_text(self.program.start())

    def test_window_answers_while_the_language_list_is_slow(self):
        # The saved position shows the window while the list is on its way.
        server = self.serve(language_list=Slow(json.dumps(LANGUAGES), head_after=3, body_after=0))
        self.preset(language="en", pos_x="150", pos_y="90")
        process = self.program.start()
        server.wait_for("lang", timeout=10)
        time.sleep(0.5)
        self.assertEqual(self.driver("ping", 500)[0], 0, "the window does not answer while the list is on its way")
        self.assertEqual(server.requests_of("pattern"), [], "a worker before the language list")
        state = self.driver.wait_window()
        self.assertEqual((state["tab.count"], state["tab.selected"], state["page"]), ("2", "0", "log"))
        server.wait_for("pattern", timeout=10)
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_second_start_exits_silently_and_leaves_the_first_running(self):
        self.serve()
        first, state = self.start()
        second = self.program.start()
        self.assertEqual(self.wait_exit(second, 20), 0)
        self.assertIsNone(first.poll(), "the first instance ended")
        again = self.driver.state()
        self.assertEqual((again["window"], again["pid"], again["visible"]), (state["window"], state["pid"], "1"))
        self.assertEqual(len(self.server.requests_of("lang")), 1, "the second start fetched nothing")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(first, 15), 0)

    # --- position ------------------------------------------------------------

    def test_saved_position_is_restored_unless_a_coordinate_is_zero(self):
        self.serve()
        self.preset(language="en", pos_x="150", pos_y="90")
        process, state = self.start()
        self.assertEqual(state["rect"].split()[:2], ["150", "90"])
        self.assertEqual(state["tab.selected"], "0", "with a language the Log tab comes first")
        self.driver("syscommand", SC_CLOSE)
        self.assertEqual(self.wait_exit(process, 15), 0)
        self.assertEqual(self.program.settings()["window"], {"pos_x": "150", "pos_y": "90"})

        self.preset(language="en", pos_x="0", pos_y="90")
        process, state = self.start()
        self.assert_centred(state)
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    # --- options and tray ------------------------------------------------------

    def test_check_boxes_write_their_keys_at_once(self):
        self.serve()
        self.preset(language="en")
        process, _ = self.start()
        self.driver("tab", 1)
        self.wait_state(lambda s: s["page"] == "config", what="Config page shown")
        for control, key in ((IDC_EXEC_GAME, "execgame"), (IDC_EXIT_TO_TRAY, "exittotray"),
                             (IDC_EXEC_ON_TRAY, "execontray")):
            self.driver("click", control)
            self.assertEqual(self.general().get(key), "1", key)
            self.assertEqual(self.driver.state()[f"ctl.{control}.checked"], "1")
            self.driver("click", control)
            self.assertEqual(self.general().get(key), "0", key)
        self.driver("click", IDC_EXIT_TO_TRAY)
        self.driver("tab", 0)
        self.driver("tab", 1)
        state = self.wait_state(lambda s: s["page"] == "config", what="Config page re-created")
        self.assertEqual([state[f"ctl.{i}.checked"] for i in (IDC_EXEC_GAME, IDC_EXIT_TO_TRAY, IDC_EXEC_ON_TRAY)],
                         ["0", "1", "0"], "a new page shows the options as they are now")
        self.assertIsNone(process.poll())
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)
        self.assertEqual(self.general().get("exittotray"), "1")

    def test_always_close_to_tray_hides_on_every_close_and_only_exit_ends(self):
        self.serve()
        self.preset(language="en", ExitToTray="1")
        process, _ = self.start()
        hidden = lambda s: s["visible"] == "0"  # noqa: E731
        shown = lambda s: s["visible"] == "1"  # noqa: E731
        for how, args in (("Close button", ("click", IDC_CLOSE)), ("close box", ("syscommand", SC_CLOSE)),
                          ("Esc", ("escape",))):
            self.driver(*args)
            self.wait_state(hidden, what=f"{how} hides the window")
            time.sleep(0.3)
            self.assertIsNone(process.poll(), f"{how} ended the program")
            self.driver("command", IDM_OPEN)
            self.wait_state(shown, what="open shows it again")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_minimise_hides_to_tray_and_a_double_click_shows_the_window(self):
        self.serve()
        self.preset(language="en")
        process, state = self.start()
        self.driver("syscommand", SC_MINIMIZE)
        hidden = self.wait_state(lambda s: s["visible"] == "0", what="minimise hides")
        self.assertEqual(hidden["iconic"], "0", "the window is never actually minimised")
        self.driver("tray", WM_LBUTTONDBLCLK)
        shown = self.wait_state(lambda s: s["visible"] == "1", what="double-click shows")
        self.assertEqual(shown["rect"], state["rect"])

        # The icon's menu, worked by keyboard: the first item is "open", the
        # second "exit".
        self.driver("syscommand", SC_MINIMIZE)
        self.wait_state(lambda s: s["visible"] == "0", what="minimise hides")
        self.driver("tray", WM_RBUTTONDOWN)
        self.screenshot("en-tray-menu")
        self.driver("keys", VK_DOWN, VK_RETURN)
        self.wait_state(lambda s: s["visible"] == "1", what="the menu's open shows")
        self.driver("syscommand", SC_MINIMIZE)
        self.wait_state(lambda s: s["visible"] == "0", what="minimise hides")
        self.driver("tray", WM_RBUTTONDOWN)
        time.sleep(0.5)
        self.driver("keys", VK_DOWN, VK_DOWN, VK_RETURN)
        self.assertEqual(self.wait_exit(process, 15), 0, "the menu's exit ends the program")
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_tray_icon_comes_back_when_the_shell_restarts(self):
        self.serve()
        self.preset(language="en")
        process, _ = self.start()
        empty = self.tray_colours()
        self.driver("syscommand", SC_MINIMIZE)
        self.wait_state(lambda s: s["visible"] == "0", what="minimise hides")
        self.assertGreater(self.tray_colours(), empty, "an icon while hidden")
        self.screenshot("tray-icon")
        # A restarted shell has forgotten the icon and announces itself.
        self.assertEqual(self.driver("forget-tray-icon")[0], 0)
        self.assertEqual(self.tray_colours(), empty)
        self.driver("taskbar-created")
        self.assertGreater(self.tray_colours(), empty, "the icon is back")
        self.driver("tray", WM_LBUTTONDBLCLK)
        self.wait_state(lambda s: s["visible"] == "1", what="double-click shows")
        self.assertEqual(self.tray_colours(), empty, "no icon while shown")
        # Shown, the window ignores the announcement.
        self.driver("taskbar-created")
        self.assertEqual(self.tray_colours(), empty)
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_start_on_tray_stays_hidden_until_open(self):
        self.serve()
        self.preset(language="en", ExecOnTray="1", pos_x="200", pos_y="120")
        process, _ = self.start()
        # The saved position shows the window for the rest of its creation;
        # the first status text is shown once the creation has ended.
        state = self.wait_state(lambda s: s["status"] != "", what="the worker's first status text")
        for _ in range(5):
            self.assertEqual(state["visible"], "0", "started on tray yet shown")
            time.sleep(0.3)
            state = self.driver.state()
        self.driver("tray", WM_LBUTTONDBLCLK)
        state = self.wait_state(lambda s: s["visible"] == "1", what="double-click shows")
        self.assertEqual(state["rect"].split()[:2], ["200", "120"])
        self.driver("syscommand", SC_MINIMIZE)
        self.wait_state(lambda s: s["visible"] == "0", what="minimise hides")
        self.driver("command", IDM_OPEN)
        self.wait_state(lambda s: s["visible"] == "1", what="open shows")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    # --- capture ------------------------------------------------------------------

    def test_log_tab_lists_the_servers_texts_newest_last(self):
        server = self.serve()
        self.preset(language="en", wader="p-123")
        game = self.start_game()
        process, state = self.start()
        self.assertEqual(state["tab.selected"], "0")
        self.wait_state(lambda s: s["status"].startswith("Monitoring your logs"), timeout=20,
                        what="the worker monitors the game's log")
        for i in range(1, 4):
            game.add_line(57, f"gamesim\x1fhello {i}")
        expected = "".join(f"reported line {i}\r\n" for i in range(1, 4))
        state = self.wait_state(lambda s: s.get("log") == expected, what="three reported lines in the Log tab")
        length = len(expected)
        self.assertEqual(state["log.selection"], f"{length} {length}", "caret at the end")
        self.assertEqual(len(server.requests_of("post")), 3)
        self.screenshot("en-log")

        self.driver("tab", 1)
        state = self.wait_state(lambda s: s["page"] == "config", what="Config page")
        self.assertEqual(state["ctl.1013.enabled"], "1", "Jump to mypage with a player id")
        self.assertEqual(state["combo.selected"], "0")
        self.screenshot("en-config")
        self.driver("tab", 0)
        self.wait_state(lambda s: s.get("log") == expected, what="a new Log page renders the whole log")

        # Another language: saved, the session reset, and the worker fetches
        # that language's patterns and monitors again.
        self.driver("tab", 1)
        self.driver("select", IDC_LANGUAGE, 1)
        self.assertEqual(self.general().get("language"), "ja")
        self.assertEqual([r.field("lang") for r in server.wait_for("pattern", 2, timeout=5)], ["en", "ja"])
        self.wait_state(lambda s: s["status"].startswith("Monitoring your logs"), timeout=20,
                        what="monitoring again after the reset")
        game.add_line(57, "gamesim\x1fhello 4")
        self.driver("tab", 0)
        self.wait_state(lambda s: s.get("log") == "reported line 4\r\n", what="the reset emptied the log")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_a_kill_right_after_the_lines_are_read_loses_none(self):
        """Every match of a read pass is on the disk before the first of them
        is sent: killed while the server still holds the first answer, the
        next start sends them all, as present lines."""
        server = self.serve()
        server.report = Slow(json.dumps({"log": "reported"}), head_after=5, body_after=0)
        self.preset(language="en")
        game = self.start_game()
        process, _ = self.start()
        self.wait_state(lambda s: s["status"].startswith("Monitoring your logs"), timeout=20,
                        what="the worker monitors the game's log")
        lines = [f"gamesim\x1fkilled {i}" for i in range(1, 31)]
        for line in lines:
            game.add_line(57, line)
        self.assertTrue(server.wait_for("post", 1, timeout=15), "the first report goes out")
        process.kill()
        process.wait()

        server.report = json.dumps({"log": "reported"})
        process, _ = self.start()
        deadline = time.monotonic() + 30
        sent = set()
        while time.monotonic() < deadline and not set(lines) <= sent:
            sent = {r.field("log") for r in server.requests_of("post") if r.field("present") == "1"}
            time.sleep(0.2)
        self.assertEqual(sorted(set(lines) - sent), [], "lines lost to the kill")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_log_page_keeps_the_last_hundred_scrolled_to_the_end(self):
        self.serve()
        self.preset(language="en")
        game = self.start_game()
        process, _ = self.start()
        self.wait_state(lambda s: s["status"].startswith("Monitoring your logs"), timeout=20,
                        what="the worker monitors the game's log")
        with open(game.commands, "a") as f:
            f.write("burst 105 57\n")
        expected = "".join(f"reported line {i}\r\n" for i in range(6, 106))
        state = self.wait_state(lambda s: s.get("log") == expected, timeout=30,
                                what="the newest 100 reported lines")
        self.assertEqual(state["log.lineCount"], "101", "100 lines and the empty one after the last CR LF")
        self.assertGreaterEqual(int(state["log.firstVisibleLine"]), 70, "scrolled to the end")
        self.screenshot("en-log-full")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def wait_addresses(self, count, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and len(self.program.opened_addresses()) < count:
            time.sleep(0.1)
        return self.program.opened_addresses()

    def home(self):
        # Wine's browser bridge writes the default port 80 away.
        return "http://127.0.0.1/" if self.port == 80 else f"http://127.0.0.1:{self.port}/"

    def test_page_button_and_link_open_the_server_pages(self):
        server = self.serve()
        self.preset(language="en", wader="12ab")
        process, _ = self.start()
        self.driver("tab", 1)
        self.wait_state(lambda s: s["page"] == "config" and s["ctl.1013.enabled"] == "1",
                        what="Jump to mypage enabled with a player id")
        self.driver("click", IDC_MYPAGE)
        tokens = server.wait_for("token", timeout=5)
        self.assertEqual([(r.field("get"), r.field("wader")) for r in tokens], [("token", "12ab")])
        home = self.home()
        self.assertEqual(self.wait_addresses(1), [home + "page/abc"])
        self.driver("click", IDC_HOME_LINK)
        self.assertEqual(self.wait_addresses(2), [home + "page/abc", home])

        # A server that answers with an error text: the text in a box of the main window.
        server.token = "No such player."
        self.driver("press", IDC_MYPAGE)
        rc, box = self.driver("message-box")
        self.assertEqual(rc, 0, "no message box")
        self.assertEqual((box["caption"], box["text"]), ("Information", "No such player."))
        time.sleep(0.5)
        self.assertEqual(len(self.program.opened_addresses()), 2)
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_page_button_request_leaves_the_window_answering(self):
        server = self.serve(token=Slow(json.dumps({"token": "page/slow"}), head_after=2, body_after=0))
        self.preset(language="en", wader="12ab")
        process, _ = self.start()
        self.driver("tab", 1)
        self.wait_state(lambda s: s["ctl.1013.enabled"] == "1", what="Jump to mypage enabled")
        self.driver("click", IDC_MYPAGE)
        self.assertEqual(len(server.wait_for("token", timeout=5)), 1)
        self.assertEqual(self.driver("ping", 500)[0], 0, "the window does not answer during the request")
        self.assertEqual(self.driver.state()["ctl.1013.enabled"], "0", "the button is greyed while the request runs")
        self.assertEqual(self.wait_addresses(1), [self.home() + "page/slow"])
        self.wait_state(lambda s: s["ctl.1013.enabled"] == "1", what="the button enabled again")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_player_id_enables_the_page_button_and_long_lines_wrap(self):
        welcome = "* You are now registered. " + "Your reports are kept on your own page. " * 8
        self.serve(report=json.dumps({"aid": "p-9", "log": welcome}))
        self.preset(language="en")
        game = self.start_game()
        process, _ = self.start()
        self.wait_state(lambda s: s["status"].startswith("Monitoring your logs"), timeout=20,
                        what="the worker monitors the game's log")
        self.driver("tab", 1)
        state = self.wait_state(lambda s: s["page"] == "config", what="Config page")
        self.assertEqual(state["ctl.1013.enabled"], "0")
        game.add_line(57, "gamesim\x1fhello")
        self.wait_state(lambda s: s["ctl.1013.enabled"] == "1", what="the button enabled once the id came")
        self.assertEqual(self.general().get("wader"), "p-9")

        self.driver("tab", 0)
        state = self.wait_state(lambda s: s.get("log") == welcome + "\r\n", what="the long line in the Log tab")
        self.assertGreater(int(state["log.lineCount"]), 3, "the long line wraps")
        self.assertEqual(state["log.selection"], f"{len(welcome) + 2} {len(welcome) + 2}", "caret at the end")
        self.screenshot("en-log-wrapped")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_keyboard_moves_through_tabs_controls_and_close(self):
        self.serve()
        self.preset(language="en")
        process, _ = self.start()
        self.wait_state(lambda s: s["page"] == "log", what="Log page")
        self.driver("send-keys", "ctrl+tab")
        state = self.wait_state(lambda s: s["page"] == "config", what="Ctrl+Tab shows the Config page")
        self.assertEqual(state["tab.selected"], "1")
        # The tabs, the page's controls in their order ("Jump to mypage" is
        # greyed without a player id), then "Close", and round again.
        cycle = ["1002", "1015", "1018", "1020", "1028", "2"]
        for keys, order in (("tab", cycle), ("shift+tab", cycle[::-1])):
            seen = []
            for _ in range(len(cycle) + 1):
                self.driver("send-keys", keys)
                seen.append(self.driver.state()["focus"])
            self.assertIn(seen[0], order, f"{keys}: {seen}")
            start = order.index(seen[0])
            self.assertEqual(seen, ((order[start:] + order[:start]) * 2)[:len(seen)], f"{keys} order: {seen}")
        self.driver("send-keys", "ctrl+shift+tab")
        self.wait_state(lambda s: s["page"] == "log", what="Ctrl+Shift+Tab shows the Log page")
        self.driver("send-keys", "ctrl+tab")
        self.wait_state(lambda s: s["page"] == "config", what="Ctrl+Tab again")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_high_dpi_scales_the_window_in_both_languages(self):
        self.serve()
        self.preset(wader="x1")
        sizes = {}
        try:
            for dpi in (96, 144):
                self.wine.set_dpi(dpi)
                for lang, tag in ((None, "en"), ("ja_JP.UTF-8", "ja")):
                    self.wine.link_fonts()
                    process, state = self.start(lang=lang)
                    state = self.wait_state(lambda s: s["page"] == "config" and s["status"] != "",
                                            what="the Config page")
                    self.assertEqual(state["dpi"], str(dpi), "the program sees the system DPI")
                    left, top, right, bottom = map(int, state["rect"].split())
                    sizes[(dpi, tag)] = (right - left, bottom - top)
                    for control in (IDC_EXEC_GAME, IDC_EXIT_TO_TRAY, IDC_EXEC_ON_TRAY, IDC_MYPAGE, IDC_HOME_LINK):
                        cl, ct, cr, cb = map(int, state[f"ctl.{control}.rect"].split())
                        self.assertTrue(left <= cl and cr <= right and top <= ct and cb <= bottom,
                                        f"control {control} outside the window at {dpi} DPI ({tag})")
                    self.screenshot(f"{tag}-config-{dpi}dpi")
                    self.driver("tab", 0)
                    self.wait_state(lambda s: s["page"] == "log", what="Log page")
                    self.screenshot(f"{tag}-log-{dpi}dpi")
                    self.driver("command", IDM_EXIT)
                    self.assertEqual(self.wait_exit(process, 15), 0)
        finally:
            self.wine.set_dpi(96)
        # Dialog units follow the font's size in pixels, which does not grow
        # exactly by half with every font.
        for tag in ("en", "ja"):
            (w96, h96), (w144, h144) = sizes[(96, tag)], sizes[(144, tag)]
            self.assertTrue(1.25 <= w144 / w96 <= 1.6 and 1.25 <= h144 / h96 <= 1.6, f"{tag} at 144 DPI: {sizes}")

    def test_japanese_names_show_in_an_english_interface(self):
        # Boxes for characters the dialog font lacks are all alike.
        rc, state = self.driver("glyphs", "日本語")
        self.assertEqual(rc, 0)
        self.assertEqual(state["glyphs.distinct"], "1", "日本語 draws as alike boxes in the dialog font")
        self.serve()
        process, _ = self.start()
        self.wait_state(lambda s: s["page"] == "config", what="Config page")
        self.driver("dropdown", IDC_LANGUAGE)
        self.screenshot("en-language-list")
        self.driver("keys", VK_ESCAPE)
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    def test_japanese_user_interface(self):
        server = self.serve()
        server.token = "プレイヤーが見つかりません"
        self.preset(wader="x1")
        lang = "ja_JP.UTF-8"
        process, state = self.start(lang=lang)
        self.assertEqual((state["tab.0"], state["tab.1"]), ("ログ", "設定"))
        self.assertEqual(state["close"], "閉じる")
        state = self.wait_state(lambda s: s["status"] == "言語を指定して下さい.", what="Japanese status")
        self.assertEqual([state[f"ctl.{i}.text"] for i in (IDC_EXEC_GAME, IDC_EXIT_TO_TRAY, IDC_EXEC_ON_TRAY,
                                                           IDC_MYPAGE)],
                         ["FFXIVを起動する", "閉じたときもタスクトレイに入れる", "起動後からタスクトレイに入れる",
                          "マイページに移動"])
        self.screenshot("ja-config")
        self.driver("press", IDC_MYPAGE)
        rc, box = self.driver("message-box")
        self.assertEqual(rc, 0, "no message box")
        self.assertEqual((box["caption"], box["text"]), ("インフォメーション", "プレイヤーが見つかりません"))
        self.driver("tab", 0)
        self.wait_state(lambda s: s["page"] == "log", what="Log page")
        self.screenshot("ja-log")
        self.driver("syscommand", SC_MINIMIZE)
        self.wait_state(lambda s: s["visible"] == "0", what="minimise hides")
        self.driver("tray", WM_RBUTTONDOWN)
        self.screenshot("ja-tray-menu")
        self.driver("keys", VK_ESCAPE)
        self.driver("tray", WM_LBUTTONDBLCLK)
        self.wait_state(lambda s: s["visible"] == "1", what="double-click shows")
        self.driver("command", IDM_EXIT)
        self.assertEqual(self.wait_exit(process, 15), 0)

    # --- shutdown -------------------------------------------------------------------

    def test_shutdown_mid_exchange_with_a_silent_server(self):
        server = self.serve(patterns="silent")
        self.preset(language="en")
        process, _ = self.start()
        self.assertEqual(len(server.wait_for("pattern", timeout=5)), 1)
        time.sleep(0.5)
        started = time.monotonic()
        self.driver("click", IDC_CLOSE)
        rc, _ = self.driver("wait-hidden", 1000)
        self.assertEqual(rc, 0, "the window stays on screen while the worker is in an exchange")
        self.assertEqual(self.wait_exit(process, SHUTDOWN_AFTER_EXCHANGE_S + 5), 0)
        elapsed = time.monotonic() - started
        self.assertLess(elapsed, SHUTDOWN_AFTER_EXCHANGE_S)
        print(f"ended {elapsed:.1f} s after the close, mid-exchange")

    def test_shutdown_while_an_exchange_outlasts_the_stop_bound(self):
        # The pattern answer comes 17 s after the request: the stop gives up
        # after its 10 s, the window goes, and the session waits for the
        # worker to finish its exchange before it is destroyed.
        server = self.serve(patterns=Slow(PATTERNS, head_after=8.5, body_after=8.5))
        self.preset(language="en")
        process, _ = self.start()
        self.assertEqual(len(server.wait_for("pattern", timeout=5)), 1)
        time.sleep(0.5)
        started = time.monotonic()
        self.driver("click", IDC_CLOSE)
        self.assertEqual(self.driver("wait-hidden", 1000)[0], 0, "the window stays on screen")
        self.assertEqual(self.wait_exit(process, SHUTDOWN_AFTER_EXCHANGE_S + 5), 0)
        elapsed = time.monotonic() - started
        self.assertEqual(len(server.answered), 2, "the program ended before the worker's exchange did")
        self.assertGreater(elapsed, 10)
        self.assertLess(elapsed, SHUTDOWN_AFTER_EXCHANGE_S)
        print(f"ended {elapsed:.1f} s after the close, the exchange outlasting the stop bound")

    def test_shutdown_mid_locate(self):
        # A marker the game never writes: the worker searches the game's
        # memory again and again.
        self.serve(patterns='{"1":{"keyword":["never-written-marker"],"code":"0","trace":false}}')
        self.preset(language="en")
        self.start_game("--ballast-regions", "64", "--ballast-region-bytes", str(4 * 1024 * 1024))
        process, _ = self.start()
        self.wait_state(lambda s: s["status"].startswith("Searching your logs"), timeout=20,
                        what="the worker searches the game's memory")
        started = time.monotonic()
        self.driver("syscommand", SC_CLOSE)
        self.assertEqual(self.wait_exit(process, SHUTDOWN_AFTER_LOCATE_S + 5), 0)
        elapsed = time.monotonic() - started
        self.assertLess(elapsed, SHUTDOWN_AFTER_LOCATE_S)
        print(f"ended {elapsed:.1f} s after the close, mid-locate")


def main():
    if not os.environ.get("DISPLAY"):
        print("skipped: DISPLAY is not set; the window tests need an X display (tools/test-all.sh starts Xvfb)")
        return SKIPPED
    cfg = config()
    missing = [name for name in ("EXE", "DRIVER", "GAMESIM", "PREFIX", "WINE_RUN", "PORT", "SCRATCH") if not cfg[name]]
    if missing:
        print("missing configuration: " + ", ".join("TIDEMARK_UI_" + m for m in missing))
        return 2
    names = sys.argv[1:] or [n for n in dir(WindowTest) if n.startswith("test_")]
    suite = unittest.TestSuite(WindowTest(name) for name in names)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    if result.wasSuccessful() and len(result.skipped) == result.testsRun and result.testsRun:
        return SKIPPED
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
