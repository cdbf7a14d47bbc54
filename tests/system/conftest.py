"""Shared fixtures for the system tests: the real executables under Wine, as a user would start them.

scripts/run-tests prepares the Wine prefix and the display and exports WINEPREFIX and DISPLAY; CTest
passes CORVANE_BUILD_DIR and CORVANE_SOURCE_DIR.
"""
import contextlib
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("CORVANE_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build" / "release"))
SOURCE_DIR = pathlib.Path(os.environ.get("CORVANE_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
TOOLS_DIR = BUILD_DIR / "tools"
# Test-side helpers shared with the demo scripts (the test server's control client, the texts users see),
# and the build's release constants.
sys.path.insert(0, str(SOURCE_DIR / "tests" / "fixtures"))
sys.path.insert(0, str(SOURCE_DIR / "scripts"))
import release_constants  # noqa: E402

CONSTANTS = release_constants.read(BUILD_DIR)
VERSION = CONSTANTS["CORVANE_VERSION"]
RUNTIME_VERSION = CONSTANTS["CORVANE_RUNTIME_VERSION"]
RUNTIME_MAJOR = CONSTANTS["CORVANE_RUNTIME_MAJOR"]
RELEASE_EXE = CONSTANTS["CORVANE_EXE_NAME"]
BOOTSTRAPPER = BUILD_DIR / RELEASE_EXE
UI_HELPER = TOOLS_DIR / "ui-helper.exe"

# Variables of ours or of the runtime that must not leak from the developer's shell into a test.
_SCRUBBED = ("CORVANE_TEST_DATA_ROOT", "CORVANE_BOOTSTRAP_PATH", "DOTNET_ROOT", "DOTNET_ROOT_X64",
             "DOTNET_MULTILEVEL_LOOKUP", "DOTNET_DISABLE_GUI_ERRORS")


def windows_path(path) -> str:
    """The Windows form of a Unix path under Wine (its Z: drive maps /)."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def wine_env(**extra) -> dict:
    if "WINEPREFIX" not in os.environ:
        pytest.fail("run the tests through scripts/run-tests, which prepares the Wine prefix")
    env = {k: v for k, v in os.environ.items() if k not in _SCRUBBED}
    env.update({k: v for k, v in extra.items() if v is not None})
    return env


_started = []


def start(exe, *args, env=None, cwd=None) -> subprocess.Popen:
    """Starts a Windows program under Wine without waiting for it. Whatever is still running when the
    test ends is killed, so a failed test leaves no dialog behind for the next one."""
    process = subprocess.Popen(["wine", str(exe), *map(str, args)], env=env or wine_env(), cwd=cwd,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _started.append(process)
    return process


@pytest.fixture(autouse=True)
def _kill_leftovers():
    yield
    while _started:
        process = _started.pop()
        if process.poll() is None:
            process.kill()
            process.wait()


def _captured(command, env, cwd, timeout) -> subprocess.CompletedProcess:
    """Runs a Wine command and collects its output through files, not pipes: a Wine process may start the
    prefix's background processes (wineserver, explorer), which inherit its output handles and would
    keep a pipe open, and the caller waiting for its end, long after the command itself has exited."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(command, result.returncode, out.read(), err.read())


def run(exe, *args, env=None, cwd=None, timeout=120) -> subprocess.CompletedProcess:
    return _captured(["wine", str(exe), *map(str, args)], env or wine_env(), cwd, timeout)


def ui(verb, title, *args, timeout_ms=20000, check=True):
    """Drives tools/ui-helper: returns the parsed window description for "read" (a list for "list"), else
    the exit code."""
    result = _captured(["wine", str(UI_HELPER), verb, title, *map(str, args), "--timeout", str(timeout_ms)],
                       wine_env(), None, timeout_ms / 1000 + 60)
    if verb == "list":
        return [Dialog(d) for d in json.loads(result.stdout.decode("utf-8").strip().splitlines()[-1])]
    if verb == "read":
        if result.returncode != 0:
            if check:
                pytest.fail(f"no window titled {title!r} appeared (ui-helper exit {result.returncode})")
            return None
        return Dialog(json.loads(result.stdout.decode("utf-8").strip().splitlines()[-1]))
    if check and result.returncode != 0:
        pytest.fail(f"ui-helper {verb} {title!r} {args} failed with {result.returncode}")
    return result.returncode


class Dialog:
    """What a top-level dialog shows: title, icon, texts and buttons."""

    def __init__(self, data):
        self.data = data
        self.title = data["title"]
        self.icon = data["icon"]
        self.pid = data["pid"]
        self.children = data["children"]

    @property
    def message(self):
        """The text of a message box (its Static with id 65535), empty text included."""
        return next(c["text"] for c in self.children if c["class"].lower() == "static" and c["id"] == 65535)

    @property
    def texts(self):
        return [c["text"] for c in self.children if c["class"].lower() == "static" and c["text"]]

    @property
    def buttons(self):
        return {c["id"]: c for c in self.children if c["class"].lower() == "button"}

    def has_class(self, name):
        return [c for c in self.children if c["class"].lower() == name.lower()]


def wait_exit(process: subprocess.Popen, timeout=60) -> int:
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        raise


@pytest.fixture
def data_root(tmp_path):
    """A fresh directory for CORVANE_TEST_DATA_ROOT; the cache lands in its lite-cache."""
    root = tmp_path / "data"
    root.mkdir()
    return root


def wait_until(predicate, timeout=20.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class MutexHolder:
    """Holds the bootstrapper's single-instance mutex from another Wine process, as a running
    bootstrapper would."""

    NAME = "Local\\Corvane.Lite.Bootstrap"

    def __enter__(self):
        self.process = subprocess.Popen(["wine", str(UI_HELPER), "hold-mutex", self.NAME], env=wine_env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.process.stdout.readline().strip() == b"held"
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        self.process.wait(timeout=30)


@contextlib.contextmanager
def small_drive(tmp_path, size):
    """A tmpfs of `size` bytes, mapped as a drive letter of its own, for a disk that fills up. Yields the
    letter and the mount point; skips the test where a tmpfs cannot be mounted."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    mount_point = tmp_path / "small-disk"
    mount_point.mkdir()
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "corvane-full", str(mount_point)],
                            capture_output=True)
    if result.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {result.stderr.decode(errors='replace').strip()}")
    # Mapped as a drive of its own: reached through Z: instead, the mount point itself would show as a
    # reparse point and be refused before anything is written.
    dosdevices = pathlib.Path(os.environ["WINEPREFIX"]) / "dosdevices"
    letter = next(c for c in "tuvwxy" if not os.path.lexists(dosdevices / f"{c}:"))
    drive = dosdevices / f"{letter}:"
    drive.symlink_to(mount_point)
    try:
        yield letter.upper(), mount_point
    finally:
        drive.unlink()
        subprocess.run(["umount", str(mount_point)], check=True)


PKI_DIR = BUILD_DIR / "fixtures" / "pki"
RELEASE_SCRIPT = SOURCE_DIR / "scripts" / "release"


class Release:
    """One run of scripts/release: the directory it wrote and what it printed."""

    def __init__(self, directory, output):
        self.directory = directory
        self.output = output
        self.exe = directory / RELEASE_EXE
        self.debug = directory / (RELEASE_EXE + ".debug")


def run_release(directory, *args, input=None, env=None, **options) -> subprocess.CompletedProcess:
    """Runs the release command as a release engineer would (no Wine involved, so plain pipes are fine);
    `input` is what it reads on its standard input."""
    return subprocess.run([str(RELEASE_SCRIPT), "--out", str(directory), *map(str, args)], cwd="/", input=input,
                          stdin=None if input is not None else subprocess.DEVNULL, capture_output=True,
                          encoding="utf-8", errors="replace", env=env, timeout=1200, **options)


def make_release(directory, *args, **options) -> Release:
    result = run_release(directory, *args, **options)
    output = result.stdout + result.stderr
    assert result.returncode == 0, f"scripts/release {' '.join(map(str, args))} failed:\n{output[-3000:]}"
    return Release(pathlib.Path(directory), output)


@pytest.fixture(scope="session")
def releases(tmp_path_factory):
    """Two release builds of this tree, in two directories and at two moments: one left unsigned, one signed
    with the test company's PKCS#12 key (its root is trusted in the test prefix only)."""
    unsigned = make_release(tmp_path_factory.mktemp("release-unsigned"))
    signed = make_release(tmp_path_factory.mktemp("release-signed"), "--pkcs12", PKI_DIR / "company.p12",
                          "--password-file", PKI_DIR / "company.password")
    return {"unsigned": unsigned, "signed": signed}
