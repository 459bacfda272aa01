"""Running Tidemark.exe under Wine for the window tests: a Wine prefix of
its own with a virtual desktop (caption, taskbar and notification area), a
private copy of the program per test (its settings file lies beside it),
the driver program that works the window, and the game simulator.

Wine programs write to files, never to pipes: a Wine helper process (the
desktop) may inherit a pipe and hold it open after the program has ended.
"""

import os
import shutil
import subprocess
import time

WINE_LOADER = "/usr/lib/wine/wine64"
RECORD_URL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "record_url.sh")
WINE_DESKTOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-desktop.sh")


def env_path(name):
    value = os.environ.get(name, "")
    return value or None


class Wine:
    def __init__(self, prefix, wine_run):
        self.prefix = prefix
        self.wine_run = wine_run

    def environment(self, lang=None):
        # Wine's WinInet takes a proxy from the environment; the program's
        # loopback traffic must reach the report double directly.
        env = {name: value for name, value in os.environ.items()
               if name.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
        env["WINEPREFIX"] = self.prefix
        env["WINEDEBUG"] = "-all"
        env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        if lang:
            env["LANG"] = lang
            env["LC_ALL"] = lang
        return env

    def prepare(self):
        """Creates the prefix on first use, with the crash dialog off and a
        virtual desktop, and keeps one Wine server up for the next minute."""
        ready = os.path.join(self.prefix, ".tidemark-ui-ready-5")
        if not os.path.exists(ready):
            with open(os.devnull, "wb") as null:
                subprocess.run([self.wine_run, self.prefix, "cmd", "/c", "exit", "0"], stdout=null,
                               stderr=null, stdin=subprocess.DEVNULL, env=self.environment(), check=False)
                subprocess.run([WINE_DESKTOP, self.prefix, "1024x768"], stdout=null, env=self.environment(),
                               check=True)
                # Addresses the program opens go to a recorder, not a browser.
                subprocess.run([WINE_LOADER, "reg", "add", "HKCU\\Software\\Wine\\WineBrowser", "/v", "Browsers",
                                "/d", RECORD_URL, "/f"], stdout=null, stderr=null, stdin=subprocess.DEVNULL,
                               env=self.environment(), check=True)
                subprocess.run(["wineserver", "-w"], env=self.environment(), check=False)
            open(ready, "w").close()
        self.link_fonts()
        with open(os.devnull, "wb") as null:
            subprocess.run(["wineserver", "-p60"], stdout=null, stderr=null, stdin=subprocess.DEVNULL,
                           env=self.environment(), check=False)

    def start(self, exe, args=(), cwd=None, lang=None, output=None, url_log=None):
        out = open(output or os.devnull, "ab")
        env = self.environment(lang)
        if url_log:
            env["TIDEMARK_UI_URL_LOG"] = url_log
        try:
            return subprocess.Popen([WINE_LOADER, exe, *args], cwd=cwd, stdout=out, stderr=out,
                                    stdin=subprocess.DEVNULL, env=env)
        finally:
            out.close()

    def link_fonts(self):
        """Wine rewrites the font links after a Japanese run; every English
        run starts with the links an English interface needs. A Wine server
        of the previous test still going away can refuse the first try."""
        for attempt in range(3):
            done = subprocess.run([WINE_DESKTOP, self.prefix, "--fonts"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=self.environment())
            if done.returncode == 0:
                return
            time.sleep(1)
        done.check_returncode()

    def set_dpi(self, dpi):
        """The system DPI of the programs started from now on. The prefix's
        desktop keeps the DPI it started with, so the prefix's Wine server
        (and with it the desktop) is restarted; only the window tests use
        this prefix."""
        env = self.environment()
        subprocess.run([WINE_LOADER, "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t",
                        "REG_DWORD", "/d", str(dpi), "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, env=env, check=True)
        # Never the test's own output: a server that outlives the test would
        # hold it open.
        for args in (["-k"], ["-w"], ["-p60"]):
            subprocess.run(["wineserver", *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, check=False)

    def run(self, exe, args, output, timeout=30):
        with open(output, "wb") as out:
            process = subprocess.Popen([WINE_LOADER, exe, *args], stdout=out, stderr=subprocess.DEVNULL,
                                       stdin=subprocess.DEVNULL, env=self.environment())
            try:
                return process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise


def parse_dump(text):
    state = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if not sep:
            continue
        out, i = [], 0
        while i < len(value):
            c = value[i]
            if c == "\\" and i + 1 < len(value):
                out.append({"r": "\r", "n": "\n", "\\": "\\"}.get(value[i + 1], value[i + 1]))
                i += 2
            else:
                out.append(c)
                i += 1
        state[key] = "".join(out)
    return state


class Driver:
    """uidriver.exe: one command per run; answers parsed from its output."""

    def __init__(self, wine, exe, scratch):
        self.wine = wine
        self.exe = exe
        self.output = os.path.join(scratch, "driver.out")

    def __call__(self, *args, timeout=30):
        rc = self.wine.run(self.exe, [str(a) for a in args], self.output, timeout=timeout)
        with open(self.output, encoding="utf-8", errors="replace") as f:
            return rc, parse_dump(f.read())

    def state(self):
        rc, state = self("dump")
        return state if rc == 0 else None

    def wait_window(self, timeout_ms=15000):
        rc, state = self("wait", timeout_ms, timeout=timeout_ms / 1000 + 30)
        return state if rc == 0 else None

    def wait_until(self, predicate, timeout=10.0, interval=0.1):
        """The first state that satisfies `predicate`, or the last one seen."""
        deadline = time.monotonic() + timeout
        state = None
        while True:
            state = self.state()
            if state is not None and predicate(state):
                return state
            if time.monotonic() > deadline:
                return state
            time.sleep(interval)


def read_ini(path):
    """Sections and keys of a private-profile file, names lower-cased."""
    sections, current = {}, None
    if not os.path.exists(path):
        return sections
    with open(path, encoding="latin-1") as f:
        for raw in f:
            line = raw.strip()
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1].strip().lower(), {})
            elif "=" in line and current is not None:
                key, _, value = line.partition("=")
                current[key.strip().lower()] = value.strip()
    return sections


def write_ini(path, sections):
    with open(path, "w", encoding="latin-1", newline="\r\n") as f:
        for section, keys in sections.items():
            f.write(f"[{section}]\n")
            for key, value in keys.items():
                f.write(f"{key}={value}\n")


class Program:
    """A private copy of Tidemark.exe with its own settings file."""

    def __init__(self, wine, exe, folder):
        self.wine = wine
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.exe = os.path.join(folder, "Tidemark.exe")
        shutil.copy2(exe, self.exe)
        self.ini = os.path.join(folder, "Tidemark.ini")
        self.url_log = os.path.join(folder, "opened-addresses.txt")
        self.processes = []

    def settings(self):
        return read_ini(self.ini)

    def start(self, lang=None):
        process = self.wine.start(self.exe, cwd=self.folder, lang=lang,
                                  output=os.path.join(self.folder, "program.out"), url_log=self.url_log)
        self.processes.append(process)
        return process

    def opened_addresses(self):
        """Addresses the program handed to the shell's browser."""
        if not os.path.exists(self.url_log):
            return []
        with open(self.url_log) as f:
            return f.read().splitlines()

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
