"""Helpers for the end-to-end scenarios: the real setup.exe under Wine.

The scenarios run inside the environment that scripts/test.sh prepares: one
private Wine prefix (WINEPREFIX), a kept-alive wineserver, WINEDEBUG=-all and
one Xvfb display (DISPLAY). ctest passes the paths of the programs under test:

  OV_SETUP_EXE   setup.exe of the x86_64 build
  OV_RUNEXE      runexe.exe (tests/doubles), which prints a child's whole
                 32-bit exit code; Linux sees only its low 8 bits
  OV_E2E_WORK    folder for the scenarios' own files (one subfolder per test)

Every test gets its own work folder and its own copy of setup.exe, so tests
of different files can run in parallel: nothing here assumes that a shared
place (the prefix's temp folder, the registry) belongs to one test alone.
"""

import fcntl
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import uuid
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("OV_BUILD_DIR", ROOT / "build" / "win64"))
SETUP_EXE = Path(os.environ.get("OV_SETUP_EXE", BUILD / "Runtime/MSI/Shared/Setup/setup.exe"))
RUNEXE = Path(os.environ.get("OV_RUNEXE", BUILD / "tests/doubles/runexe.exe"))
WORK = Path(os.environ.get("OV_E2E_WORK", BUILD / "tests/e2e/work"))
PACKAGES = Path(__file__).resolve().parent / "packages"

WIZARD_TITLE = "Orvane Wizard"
LOG_NAME = "Orvane.log"
LOG_KEY = r"HKCU\SOFTWARE\Orvane\17.0\Professional"

# The launcher's own exit codes that the scenarios expect.
EXIT_INVALID_COMMAND_LINE = 1203
EXIT_ENGINE_LIBRARY_UNUSABLE = 1670
EXIT_NO_ENGINE_LIBRARY = 7001
EXIT_BAD_REMOVAL_VALUE = -4

# A log line: "M-d-yyyy[hh:mm:ss AM]: message" and, when the log was turned on
# through the registry, "  --  File: <folder>\<file>, Line: <n>" at the end.
LOG_LINE = re.compile(r"^(\d{1,2})-(\d{1,2})-(\d{4})\[(\d\d):(\d\d):(\d\d) ?([^\]]*)\]: (.*)$")
SOURCE_SUFFIX = re.compile(r"  --  File: ([^\\,]+)\\([^\\,]+), Line: (\d+)$")


def wine_env(extra=None):
    """The environment for Wine programs: the run's prefix, no debug output,
    and no Mono/Gecko installers popping up."""
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", str(BUILD / "wineprefix"))
    env["WINEDEBUG"] = env.get("WINEDEBUG") or "-all"
    env["WINEDLLOVERRIDES"] = env.get("WINEDLLOVERRIDES") or "mscoree=;mshtml="
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    # Wine converts Linux text (the environment, paths) by the locale's
    # character set: UTF-8 always, whatever the caller's locale is.
    env["LC_ALL"] = "C.UTF-8"
    if extra:
        env.update(extra)
    return env


def run_quietly(args, timeout, env=None):
    """Runs a Linux command; answers (exit status, output text).

    Output goes through a file, never a pipe: a Wine process may start Wine
    services (services.exe, explorer.exe) that inherit its output handles and
    outlive it, and a reader waiting for the end of a pipe would wait for them."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(args, env=env or wine_env(), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)
        try:
            status = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            status = proc.wait()
        out.seek(0)
        return status, out.read().decode("utf-8", "replace")


def check_environment(need_setup=True):
    """Fails early, with a hint, when the scenarios run outside scripts/test.sh."""
    env = wine_env()
    problems = []
    if not env.get("DISPLAY"):
        problems.append("DISPLAY is not set (Wine needs an X display; scripts/test.sh starts Xvfb)")
    if not (Path(env["WINEPREFIX"]) / "system.reg").is_file():
        problems.append(f"no Wine prefix at {env['WINEPREFIX']}")
    for what, path in (("setup.exe", SETUP_EXE), ("runexe.exe", RUNEXE)):
        if (need_setup or what != "setup.exe") and not path.is_file():
            problems.append(f"{what} not built: {path}")
    if problems:
        raise RuntimeError("; ".join(problems) + ". Run the tests with scripts/test.sh [-R <name>].")


def to_win(path):
    """A Linux path as Wine sees it through drive Z: (Z:\\work\\...)."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def prefix_path(win_path):
    """A Windows path of the prefix (C:\\users\\...) as a Linux path."""
    drive, rest = win_path[0].lower(), win_path[2:].lstrip("\\")
    base = Path(wine_env()["WINEPREFIX"]) / "dosdevices" / f"{drive}:"
    return base.resolve() / rest.replace("\\", "/") if rest else base.resolve()


_temp_dir = None


def prefix_temp_dir():
    """The prefix's %TEMP% folder as a Linux path (drive_c/users/<user>/Temp).
    Other tests use it too: look only at your own files in it."""
    global _temp_dir
    if _temp_dir is None:
        out = run_quietly(["wine", "cmd", "/c", "echo %TEMP%"], timeout=60)[1]
        m = re.search(r"^([A-Za-z]:\\.*?)\s*$", out, re.M)  # other lines: Wine's warnings
        if m:
            _temp_dir = prefix_path(m.group(1))
        else:  # fall back to the one user folder that has a Temp
            users = Path(wine_env()["WINEPREFIX"]) / "drive_c" / "users"
            found = [p for p in users.glob("*/Temp") if p.parent.name != "Public"]
            if len(found) != 1:
                raise RuntimeError(f"cannot find the prefix's temp folder (cmd said {out!r})")
            _temp_dir = found[0]
    return _temp_dir


def screenshot(path):
    """Saves the whole display as a PNG (for diagnosing a failed scenario)."""
    try:
        subprocess.run(f"xwd -root -silent | convert xwd:- '{path}'", shell=True,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        pass


def _unix_pids_running(win_exe):
    """Linux process ids of the Wine processes started from win_exe. Wine sets
    a process's /proc cmdline to its Windows command line."""
    needle = win_exe.lower()
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            first = (entry / "cmdline").read_bytes().split(b"\0", 1)[0].decode("utf-8", "replace")
        except OSError:
            continue
        if needle in first.strip().strip('"').lower():
            pids.append(int(entry.name))
    return pids


def _xdotool(*args):
    r = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=10)
    return r.stdout.split("\n") if r.returncode == 0 else []


def visible_windows(pids=None):
    """(window id, title) of the visible top-level windows, optionally only
    those whose owner (_NET_WM_PID, which Wine sets) is one of pids."""
    windows = []
    for wid in filter(None, _xdotool("search", "--onlyvisible", "--name", "")):
        if pids is not None:
            owner = [x for x in _xdotool("getwindowpid", wid) if x.strip()]
            if not owner or int(owner[0]) not in pids:
                continue
        title = "".join(_xdotool("getwindowname", wid)).strip()
        windows.append((wid, title))
    return windows


def press_key(wid, key):
    """Focuses the window and presses a key. Xvfb has no window manager:
    windowactivate fails, windowfocus works; Wine ignores keys sent to a window
    (key --window), so the key goes to the focus. Tests of other files may
    press keys at the same time: a lock keeps focus and key together."""
    WORK.mkdir(parents=True, exist_ok=True)
    with open(WORK / ".keyboard.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if "".join(_xdotool("getwindowfocus")).strip() != wid:
            _xdotool("windowfocus", "--sync", wid)
            time.sleep(0.2)
        _xdotool("key", key)


class DialogCloser:
    """Answers the windows of the processes started from one file (a Windows
    path; each test runs its own copy of setup.exe, so other tests' windows
    are never touched). Every new visible window gets the keys in order, one
    after the other while it stays open; the last key repeats.

    Wine under Xvfb drops the first key presses (up to three) that reach a
    newly shown window, so a key that must arrive, other than the last one,
    has to be given several times in a row."""

    def __init__(self, win_exe, keys=("Return",), first_delay=0.5, interval=0.6):
        self.win_exe = win_exe
        self.keys = list(keys)
        self.first_delay = first_delay   # let a new dialog create its controls
        self.interval = interval
        self.current = {}                # window id -> state of the windows shown now
        self.done = []                   # states of the windows gone, in order

    def poll(self):
        """One round; answers whether a process of the file is still running."""
        pids = _unix_pids_running(self.win_exe)
        if not pids:
            return False
        now = time.monotonic()
        shown = visible_windows(pids)
        # A window that went away is done; should X hand its id to a later
        # window, that one starts afresh.
        ids = {wid for wid, _ in shown}
        for wid in [w for w in self.current if w not in ids]:
            self.done.append(self.current.pop(wid))
        for wid, title in shown:
            w = self.current.setdefault(wid, {"title": title, "first": now, "last": None, "pressed": []})
            wait = self.first_delay if w["last"] is None else self.interval
            if now - (w["last"] or w["first"]) >= wait:
                key = self.keys[min(len(w["pressed"]), len(self.keys) - 1)]
                press_key(wid, key)
                w["pressed"].append(key)
                w["last"] = now
        return True

    def _all(self):
        return [w for w in self.done + list(self.current.values()) if w["pressed"]]

    def dialogs(self):
        """Titles of the windows that were answered, in order of appearance."""
        return [w["title"] for w in self._all()]

    def presses(self):
        """(title, keys pressed until it closed) for every answered window."""
        return [(w["title"], list(w["pressed"])) for w in self._all()]

    def wait_until_gone(self, timeout):
        """Answers windows until no process of the file runs; false on time-out."""
        deadline = time.monotonic() + timeout
        while self.poll():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    def kill_leftovers(self):
        """Ends the Wine processes of this file that outlived a test."""
        for pid in _unix_pids_running(self.win_exe):
            try:
                os.kill(pid, 9)
            except OSError:
                pass


@dataclass
class RunResult:
    cmdline: str
    exit_code: int = None          # the whole signed 32-bit code, None when unknown
    timed_out: bool = False
    start_error: int = None        # CreateProcessW's error when the program did not start
    dialogs: list = field(default_factory=list)  # titles of the windows answered
    presses: list = field(default_factory=list)  # (title, keys) of the windows answered
    output: str = ""
    seconds: float = 0.0
    runner_status: int = None      # runexe's own Linux exit status (0, 2 or 3)


def run_windows(cmdline, timeout=60, closer=None, shot_dir=None):
    """Runs a Windows command line (exactly as given) through runexe.exe and
    waits for it. While it runs, closer (a DialogCloser) answers its windows.
    A run that outlives timeout is ended; a screenshot then goes to shot_dir."""
    env = wine_env({"RUNEXE_CMDLINE": cmdline})
    started = time.monotonic()
    result = RunResult(cmdline)
    with tempfile.TemporaryFile() as out:  # a file, not a pipe: see run_quietly
        proc = subprocess.Popen(["wine", str(RUNEXE), "--timeout", str(int(timeout * 1000))],
                                env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)
        deadline = started + timeout + 30
        while proc.poll() is None:
            if time.monotonic() > deadline:  # runexe itself hangs: should not happen
                proc.kill()
                proc.wait()
                result.timed_out = True
                break
            if closer:
                closer.poll()
            time.sleep(0.2)
        out.seek(0)
        result.output = out.read().decode("utf-8", "replace")
    result.runner_status = proc.returncode
    result.seconds = time.monotonic() - started
    out = result.output
    m = re.search(r"^EXIT=(-?\d+|TIMEOUT|START_FAILED (\d+))\s*$", out, re.M)
    if m and m.group(1) == "TIMEOUT":
        result.timed_out = True
    elif m and m.group(2):
        result.start_error = int(m.group(2))
    elif m:
        result.exit_code = int(m.group(1))
    if closer:
        result.dialogs, result.presses = closer.dialogs(), closer.presses()
    if result.timed_out and shot_dir:
        screenshot(Path(shot_dir) / "timeout.png")
    return result


def wine_command(*args, timeout=60, check=True):
    """Runs a Wine program with Linux argv (Wine quotes the arguments);
    answers (exit status, output)."""
    status, out = run_quietly(["wine", *map(str, args)], timeout=timeout)
    if check and status != 0:
        raise AssertionError(f"wine {' '.join(map(str, args))} failed ({status}): {out}")
    return status, out


# ---------------------------------------------------------------- registry

def reg_set(key, name, value):
    """Writes a REG_DWORD (int value) or REG_SZ (text value)."""
    kind, data = ("REG_DWORD", str(value)) if isinstance(value, int) else ("REG_SZ", value)
    wine_command("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")


def reg_delete(key, name=None):
    """Deletes one value, or the whole key; missing ones are no error."""
    args = ["reg", "delete", key] + (["/v", name] if name else []) + ["/f"]
    wine_command(*args, check=False)


def reg_query(key, name, view32=False):
    """The data of a value as text, or None when the key or value is missing."""
    args = ["reg", "query", key, "/v", name] + (["/reg:32"] if view32 else [])
    status, out = wine_command(*args, check=False)
    if status != 0:
        return None
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
            return parts[2] if len(parts) == 3 else ""
    return None


def reg_key_exists(key, view32=False):
    args = ["reg", "query", key] + (["/reg:32"] if view32 else [])
    return wine_command(*args, check=False)[0] == 0


# ---------------------------------------------------------------- packages

@dataclass
class Package:
    path: Path
    product_code: str
    product_name: str

    @property
    def install_dir(self):
        """Where the 32-bit package puts its files (C:\\Program Files (x86)\\<name>)."""
        return Path(wine_env()["WINEPREFIX"]) / "drive_c" / "Program Files (x86)" / self.product_name

    @property
    def uninstall_key(self):
        return rf"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\{self.product_code}"

    @property
    def property_key(self):
        return rf"HKLM\Software\{self.product_name}"

    def is_registered(self):
        return reg_key_exists(self.uninstall_key, view32=True)

    def recorded_property(self):
        return reg_query(self.property_key, "DemoProp", view32=True)


def build_demo_msi(folder, name=None, version="1.0.0"):
    """Builds tests/e2e/packages/demo.wxs with wixl into folder, with its own
    product code and product name so that tests never share a product."""
    tag = uuid.uuid4().hex[:8]
    code = "{" + str(uuid.uuid4()).upper() + "}"
    name = name or f"Orvane Demo {tag}"
    out = Path(folder) / f"demo-{tag}.msi"
    status, output = run_quietly(["wixl", "-D", f"ProductCode={code}",
                                  "-D", "UpgradeCode={" + str(uuid.uuid4()).upper() + "}",
                                  "-D", f"ProductName={name}", "-D", f"ProductVersion={version}",
                                  "-o", str(out), str(PACKAGES / "demo.wxs")], timeout=120)
    if status != 0:
        raise AssertionError(f"wixl failed ({status}): {output}")
    return Package(out, code, name)


# ---------------------------------------------------------------- the log

@dataclass
class LogLine:
    raw: str        # the line without CR LF
    message: str
    source: tuple   # (folder, file, line) or None


def read_log(path):
    """Parses a setup log: ANSI text, no byte-order mark, CR LF after every
    line. Raises AssertionError when the file breaks that form."""
    data = Path(path).read_bytes()
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or data[:3] == b"\xef\xbb\xbf":
        raise AssertionError(f"{path}: the log starts with a byte-order mark")
    if data and not data.endswith(b"\r\n"):
        raise AssertionError(f"{path}: the last line has no CR LF: {data[-80:]!r}")
    text = data.decode("cp1252", "replace")
    lines = []
    for raw in text.split("\r\n")[:-1]:
        m = LOG_LINE.match(raw)
        if not m:  # a message with embedded line breaks continues here
            if lines:
                lines[-1].raw += "\r\n" + raw
                lines[-1].message += "\r\n" + raw
                continue
            raise AssertionError(f"{path}: not a log line: {raw!r}")
        message = m.group(8)
        s = SOURCE_SUFFIX.search(message)
        source = None
        if s:
            source = (s.group(1), s.group(2), int(s.group(3)))
            message = message[: s.start()]
        lines.append(LogLine(raw, message, source))
    return lines


def wait_for(predicate, timeout, interval=0.2):
    """Polls predicate until it answers true or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


# ---------------------------------------------------------------- test base

class ScenarioTest(unittest.TestCase):
    """Base of the scenarios: a fresh work folder per test (kept after the run
    for diagnosis) with a private copy of setup.exe in it."""

    @classmethod
    def setUpClass(cls):
        check_environment()

    def setUp(self):
        self.work = WORK / type(self).__module__ / f"{type(self).__name__}.{self._testMethodName}"
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        self.launcher_dir = self.work / "launcher"
        self.launcher_dir.mkdir()
        self.setup_exe = self.launcher_dir / "setup.exe"
        shutil.copy2(SETUP_EXE, self.setup_exe)

    def run_setup(self, arguments, timeout=60, keys=("Return",), setup_exe=None):
        """Runs setup.exe with the given raw command line (the text after the
        program name), answering its windows with keys (None: leave them
        alone). On a time-out the display is saved to the work folder."""
        exe = to_win(setup_exe or self.setup_exe)
        cmdline = f'"{exe}" {arguments}' if " " in exe else f"{exe} {arguments}"
        closer = DialogCloser(exe, keys) if keys else None
        result = run_windows(cmdline, timeout=timeout, closer=closer, shot_dir=self.work)
        with (self.work / "runs.txt").open("a") as f:
            f.write(f"{result.cmdline}\n  -> exit {result.exit_code} presses {result.presses} "
                    f"timed_out {result.timed_out} {result.seconds:.1f}s\n{result.output}\n")
        if result.timed_out:
            DialogCloser(exe).kill_leftovers()
        return result

    def closer(self, keys=("Return",), setup_exe=None):
        """A DialogCloser for this test's setup.exe (for copies that outlive a run)."""
        closer = DialogCloser(to_win(setup_exe or self.setup_exe), keys)
        self.addCleanup(closer.kill_leftovers)
        return closer

    def assertExit(self, result, code, dialogs=None):
        """Checks the exit code and, when given, the titles of the dialogs."""
        detail = f"{result.cmdline!r}: {result}"
        self.assertFalse(result.timed_out, f"timed out: {detail}")
        self.assertIsNone(result.start_error, f"did not start: {detail}")
        self.assertEqual(result.exit_code, code, detail)
        if dialogs is not None:
            self.assertEqual(result.dialogs, dialogs, detail)

    def log_messages(self, path):
        return [line.message for line in read_log(path)]
