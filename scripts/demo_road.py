#!/usr/bin/python3
"""Plays the bootstrapper's roads for scripts/run-demo and scripts/screenshots, which prepare what it needs:
the demo Wine prefix with its server running (WINEPREFIX), the display (DISPLAY), the build
(CORVANE_BUILD_DIR), the Chinese locale for Wine (CORVANE_DEMO_LOCPATH) and, for the install road, the
local mirror with the test root trusted in the prefix.

  demo_road.py launch DIR [--person]     the launch road: a runtime is there, the demo app starts
  demo_road.py install DIR [--person]    the install road: consent, download from the mirror, checks, the
                                         stand-in installer, the app started at the end
  demo_road.py pictures DIR              one picture of each dialog, for the README

Headless, it clicks where a person would and saves a picture of each stage in DIR, printing one line per
picture: "Screenshot (STAGE, WxH): PATH". With --person it only starts the road; the person clicks, and it
ends when they close the app's window. Either way it prints "Exit code: N" of the bootstrapper and exits 1
when the road did not go as it should, 130 on Ctrl+C.
"""
import argparse
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The test server plays the mirror; its control client lives beside it.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "fixtures"))
import server_control  # noqa: E402
import release_constants  # noqa: E402

BUILD_DIR = pathlib.Path(os.environ["CORVANE_BUILD_DIR"])
TOOLS_DIR = BUILD_DIR / "tools"
UI_HELPER = TOOLS_DIR / "ui-helper.exe"
LAUNCH_EXE = BUILD_DIR / release_constants.read(BUILD_DIR)["CORVANE_EXE_NAME"]
# The demo app as payload, the mirror on loopback as download host, the demo installer's digest.
INSTALL_EXE = BUILD_DIR / "Corvane_Install_Demo_Lite.exe"
DEMO_INSTALLER = TOOLS_DIR / "corvane-demo-installer.exe"

# Slow enough that a person at the screen sees several mebibytes arriving.
MIRROR_RATE = 1024 * 1024
# Headless, the mirror holds the download a little past this point until the picture of the dialog is
# taken, however long the helper programs take on a busy machine; then it sends the rest.
HELD_AT = 2 * 1024 * 1024 + 64 * 1024

CONSENT_TITLE = "Corvane 轻量版 — 需要运行环境"
DOWNLOAD_TITLE = "Corvane 轻量版 — 下载运行环境"
MESSAGE_TITLE = "Corvane 轻量版"
APP_TITLE = "Corvane 截图工具（演示）"
DOWNLOAD_AND_INSTALL = 100
CANCEL = 2
OK = 1
PROGRESS_MARK = "已接收"
HELD_MARK = "已接收 2 MB"  # the content once the download has reached HELD_AT
CANCELLING_TEXT = "正在取消下载，请稍候……"

WAIT_MS = 60000


class RoadFailed(Exception):
    pass


def windows_path(path) -> str:
    """The Windows form of a Unix path under Wine (its Z: drive maps /)."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def wine(*args, env=None, timeout=None) -> subprocess.CompletedProcess:
    """A Wine program run to its end, its output collected through files: Wine's background programs may
    hold on to a pipe long after the program itself has ended."""
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(["wine", *map(str, args)], env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        if result.returncode == -signal.SIGINT:
            raise KeyboardInterrupt  # Ctrl+C reached the Wine program before this script
        return subprocess.CompletedProcess(result.args, result.returncode, out.read().decode("utf-8", "replace"))


def window(title, timeout_ms=WAIT_MS):
    """What the window with this title shows, once it is there."""
    result = wine(UI_HELPER, "read", title, "--timeout", timeout_ms, timeout=timeout_ms / 1000 + 60)
    if result.returncode != 0 or not result.stdout.strip():
        raise RoadFailed(f"no window titled {title!r} appeared (ui-helper ended with {result.returncode})")
    return json.loads(result.stdout.strip().splitlines()[-1])


def texts(description):
    return [child["text"] for child in description["children"] if child["text"]]


def click(title, button):
    if wine(UI_HELPER, "click", title, button, "--timeout", WAIT_MS, timeout=WAIT_MS / 1000 + 60).returncode != 0:
        raise RoadFailed(f"could not click button {button} of {title!r}")


def wait_for_text(title, wanted, timeout=60.0):
    """The window's description once one of its texts contains `wanted`."""
    deadline = time.monotonic() + timeout
    while True:
        description = window(title)
        if any(wanted in text for text in texts(description)):
            return description
        if time.monotonic() > deadline:
            raise RoadFailed(f"{title!r} never showed {wanted!r}; it showed {texts(description)}")


def picture(directory, name, stage, title):
    """Saves the window, title bar and frame included, as the screen shows it while it is the active window."""
    left, top, right, bottom = window(title)["rect"]
    width, height = right - left, bottom - top
    wine(UI_HELPER, "front", title, "--timeout", WAIT_MS, timeout=WAIT_MS / 1000 + 60)
    path = directory / name
    subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{left}+{top}", "+repage", str(path)],
                   check=True, stdin=subprocess.DEVNULL)
    print(f"Screenshot ({stage}, {width}x{height}): {path}", flush=True)


def set_mirror(route):
    """What the mirror answers for the installer's address (see tests/fixtures/https_server.py)."""
    if not server_control.set_scenario({server_control.INSTALLER_PATH: route} if route else {}):
        raise RoadFailed("the mirror refused its scenario")


def release_mirror():
    """Lets a download that the mirror holds ("hold_after") go on to its end."""
    if not server_control.release_held_answers():
        raise RoadFailed("the mirror refused to release the download")


# Every start of a bootstrapper, so that a road that failed waiting for a window can still say that the
# bootstrapper crashed on the way.
STARTS = []


class Start:
    """One start of a bootstrapper with a throw-away data root of its own under `place`; `runtime` is the
    runtime root the bootstrapper searches (DOTNET_ROOT), which the stand-in installer makes."""

    def __init__(self, exe, place, runtime, installer_exit_code=0, installer_makes_root=True):
        self.exe = exe
        shutil.rmtree(place / "data", ignore_errors=True)
        (place / "data").mkdir(parents=True)
        self.env = dict(os.environ)
        for name in ("DOTNET_ROOT_X64", "CORVANE_BOOTSTRAP_PATH"):
            self.env.pop(name, None)
        self.env.update(CORVANE_TEST_DATA_ROOT=windows_path(place / "data"), DOTNET_ROOT=windows_path(runtime),
                        CORVANE_TEST_INSTALLER_EXIT_CODE=str(installer_exit_code))
        if installer_makes_root:
            self.env["CORVANE_TEST_INSTALLER_ROOT"] = windows_path(runtime)
        # Wine reports an unhandled exception on its standard error; the prefix has its crash dialog off,
        # so a crash ends the process at once and the report tells it from an ordinary exit code.
        self.errors = place / "wine-errors.txt"
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(["wine", str(exe)], env=self.env, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=errors)
        STARTS.append(self)

    def crash(self):
        """Wine's line about the unhandled exception once the process has ended after one, else None."""
        if self.process.poll() is None:
            return None
        for line in self.errors.read_text(errors="replace").splitlines():
            if line.startswith("wine: Unhandled"):
                fault = line[len("wine: "):].split(", starting debugger")[0]
                return f"the bootstrapper crashed (code {self.process.returncode}): {fault}"
        return None

    def exit_code(self, timeout=None):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise RoadFailed(f"{self.exe.name} did not end") from None
        if code == -signal.SIGINT:
            raise KeyboardInterrupt
        crash = self.crash()
        if crash:
            raise RoadFailed(f"{self.exe.name}: {crash}")
        return code

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def until_the_person_closes_the_app():
    """With a person at the screen the demo lasts until they close the app's window, if the road led there."""
    if wine(UI_HELPER, "read", APP_TITLE, "--timeout", 15000, timeout=75).returncode != 0:
        return
    print("The demo app window stays open until you close it.", flush=True)
    wine(UI_HELPER, "gone", APP_TITLE, "--timeout", 0xFFFFFFFF)


def expect_exit(start, expected, timeout=WAIT_MS / 1000):
    code = start.exit_code(timeout)
    print(f"Exit code: {code}", flush=True)
    if code != expected:
        raise RoadFailed(f"{start.exe.name} ended with {code}, not {expected}")


def launch_road(directory, person):
    # A stand-in runtime root: the two framework directories are all the bootstrapper looks for.
    runtime = directory / "dotnet"
    for framework in ("Microsoft.NETCore.App", "Microsoft.WindowsDesktop.App"):
        (runtime / "shared" / framework).mkdir(parents=True, exist_ok=True)
    start = Start(LAUNCH_EXE, directory, runtime)
    print(f"Bootstrapper: {LAUNCH_EXE}", flush=True)
    expect_exit(start, 0)
    if person:
        until_the_person_closes_the_app()
    else:
        picture(directory, "app.png", "the app started", APP_TITLE)


def install_road(directory, person):
    runtime = directory / "installed runtime"
    shutil.rmtree(runtime, ignore_errors=True)
    held = {} if person else {"hold_after": HELD_AT}
    set_mirror({"file": str(DEMO_INSTALLER), "bytes_per_second": MIRROR_RATE, **held})
    start = Start(INSTALL_EXE, directory, runtime)
    print(f"Bootstrapper: {INSTALL_EXE}", flush=True)
    try:
        if person:
            print("Click 下载并安装 in the dialog to go on.", flush=True)
            expect_exit(start, 0, timeout=None)
            until_the_person_closes_the_app()
            return
        window(CONSENT_TITLE)
        picture(directory, "1-consent.png", "consent prompt", CONSENT_TITLE)
        click(CONSENT_TITLE, DOWNLOAD_AND_INSTALL)
        wait_for_text(DOWNLOAD_TITLE, HELD_MARK)
        picture(directory, "2-download.png", "download in progress", DOWNLOAD_TITLE)
        release_mirror()
        window(APP_TITLE)
        picture(directory, "3-app.png", "the app started", APP_TITLE)
        expect_exit(start, 0)
    finally:
        start.stop()


def pictures(directory):
    """The dialogs a user of the shipped product can meet, each on a road that really leads to it."""
    directory.mkdir(parents=True, exist_ok=True)
    work = BUILD_DIR / "demo" / "pictures"
    runtime = work / "no runtime"
    # First road: the installer fails with 1603, so it ends in the warning box; on its way a second start
    # meets the busy box.
    set_mirror({"file": str(DEMO_INSTALLER), "bytes_per_second": MIRROR_RATE, "hold_after": HELD_AT})
    first = Start(INSTALL_EXE, work / "first", runtime, installer_exit_code=1603, installer_makes_root=False)
    second = None
    try:
        window(CONSENT_TITLE)
        picture(directory, "consent.png", "consent prompt", CONSENT_TITLE)
        second = Start(INSTALL_EXE, work / "second", runtime)
        window(MESSAGE_TITLE)
        picture(directory, "busy.png", "another start while one is running", MESSAGE_TITLE)
        click(MESSAGE_TITLE, OK)
        expect_exit(second, 0)
        click(CONSENT_TITLE, DOWNLOAD_AND_INSTALL)
        wait_for_text(DOWNLOAD_TITLE, HELD_MARK)
        picture(directory, "download.png", "download in progress", DOWNLOAD_TITLE)
        release_mirror()
        window(MESSAGE_TITLE)
        picture(directory, "warning.png", "the installer failed", MESSAGE_TITLE)
        click(MESSAGE_TITLE, OK)
        expect_exit(first, 1)
    finally:
        first.stop()
        if second is not None:
            second.stop()
    # Second road: the mirror holds the download after a little more than a mebibyte, and the user cancels.
    # A held answer, unlike a stalled one, never lets the download's receive timeout run out, so the
    # dialog is still there however long the clicks and the picture take.
    set_mirror({"file": str(DEMO_INSTALLER), "hold_after": 1200 * 1024})
    third = Start(INSTALL_EXE, work / "third", runtime)
    try:
        click(CONSENT_TITLE, DOWNLOAD_AND_INSTALL)
        wait_for_text(DOWNLOAD_TITLE, PROGRESS_MARK)
        click(DOWNLOAD_TITLE, CANCEL)
        wait_for_text(DOWNLOAD_TITLE, CANCELLING_TEXT)
        picture(directory, "cancelling.png", "cancelling the download", DOWNLOAD_TITLE)
        set_mirror(None)  # ends the held answer, so the worker sees the cancellation
        expect_exit(third, 0)
    finally:
        third.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("road", choices=("launch", "install", "pictures"))
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--person", action="store_true")
    args = parser.parse_args()
    if "CORVANE_DEMO_LOCPATH" in os.environ:
        os.environ.update(LOCPATH=os.environ["CORVANE_DEMO_LOCPATH"], LC_ALL="zh_CN.UTF-8")
    directory = args.directory.resolve()
    directory.mkdir(parents=True, exist_ok=True)
    try:
        if args.road == "launch":
            launch_road(directory, args.person)
        elif args.road == "install":
            install_road(directory, args.person)
        else:
            pictures(directory)
    except (RoadFailed, OSError, subprocess.SubprocessError) as failure:
        crashes = [f"{start.exe.name}: {start.crash()}" for start in STARTS if start.crash()]
        print(f"{pathlib.Path(sys.argv[0]).name}: {crashes[0] if crashes else failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
