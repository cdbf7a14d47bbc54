"""Runtime search and app start, end to end: the real bootstrapper carrying the recording test app, runtime
roots made on disk, and what the started app itself saw (command line, directory, environment)."""
import hashlib
import json
import os
import subprocess
import time

from conftest import VERSION, BUILD_DIR, TOOLS_DIR, UI_HELPER, run, start, ui, wait_exit, wait_until, windows_path, wine_env
from texts import MESSAGE_TITLE

RECORDING_BOOTSTRAPPER = BUILD_DIR / "Corvane_Recording_Lite.exe"
TEST_APP = TOOLS_DIR / "corvane-test-app.exe"
PROBE_SWITCH = "--corvane-runtime-probe"


class Run:
    """One start of the test app as it recorded it."""

    def __init__(self, command_line, directory, environment):
        self.command_line = command_line
        self.directory = directory
        self.environment = environment


def read_runs(record_file):
    """The complete records of the test app's starts, read by tools/ui-helper: the C++ tests share that one
    reader of the format (a record the app is still writing does not count yet)."""
    if not record_file.exists():
        return []
    result = run(UI_HELPER, "records", windows_path(record_file))
    assert result.returncode == 0, f"ui-helper records ended with {result.returncode}"
    return [Run(r["command_line"], r["directory"], r["environment"])
            for r in json.loads(result.stdout.decode("utf-8").strip().splitlines()[-1])]


def cached_app(data_root):
    digest16 = hashlib.sha256(TEST_APP.read_bytes()).hexdigest()[:16]
    return data_root / "lite-cache" / VERSION / digest16 / "Corvane.App.exe"


def make_root(path, desktop_target=None):
    """A runtime root: the two framework directories, the desktop one optionally a link elsewhere."""
    (path / "shared" / "Microsoft.NETCore.App").mkdir(parents=True)
    if desktop_target:
        desktop_target.mkdir(parents=True)
        os.symlink(desktop_target, path / "shared" / "Microsoft.WindowsDesktop.App")
    else:
        (path / "shared" / "Microsoft.WindowsDesktop.App").mkdir()
    return path


def test_start_proves_the_runtime_and_starts_the_app_without_waiting(tmp_path, data_root):
    broken = make_root(tmp_path / "broken")
    good = make_root(tmp_path / "good root", desktop_target=tmp_path / "elsewhere" / "desktop")
    record = tmp_path / "record.bin"
    broken_listed = windows_path(broken)
    good_listed = windows_path(good) + "\\"  # kept exactly as listed, trailing separator and all
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT_X64=broken_listed,
                   DOTNET_ROOT=good_listed, CORVANE_TEST_RECORD=windows_path(record), CORVANE_TEST_EXIT_CODE="3",
                   CORVANE_TEST_PASS_ROOT=good_listed, CORVANE_TEST_APP_SLEEP_MS="25000")

    started = time.monotonic()
    process = subprocess.Popen(["wine", str(RECORDING_BOOTSTRAPPER)], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert wait_exit(process) == 0
    assert time.monotonic() - started < 25, "the bootstrapper waited for the app"

    assert wait_until(lambda: len(read_runs(record)) >= 3)
    first_probe, second_probe, launch = read_runs(record)
    app = windows_path(cached_app(data_root))
    app_directory = app.rsplit("\\", 1)[0]

    for probe, root in ((first_probe, broken_listed), (second_probe, good_listed)):
        assert probe.command_line == f'"{app}" {PROBE_SWITCH}'
        assert probe.directory == app_directory
        assert probe.environment["DOTNET_ROOT_X64"] == root
        assert probe.environment["DOTNET_ROOT"] == root
        assert probe.environment["DOTNET_MULTILEVEL_LOOKUP"] == "0"
        assert probe.environment["DOTNET_DISABLE_GUI_ERRORS"] == "1"

    assert launch.command_line == f'"{app}"'
    assert launch.directory == app_directory
    assert launch.environment["DOTNET_ROOT_X64"] == good_listed
    assert launch.environment["DOTNET_ROOT"] == good_listed
    assert launch.environment["DOTNET_MULTILEVEL_LOOKUP"] == "0"
    assert "DOTNET_DISABLE_GUI_ERRORS" not in launch.environment
    assert launch.environment["CORVANE_BOOTSTRAP_PATH"] == windows_path(RECORDING_BOOTSTRAPPER)


def test_app_gone_between_probe_and_launch_is_reported(tmp_path, data_root):
    root = make_root(tmp_path / "rt")
    record = tmp_path / "record.bin"
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(root),
                   CORVANE_TEST_RECORD=windows_path(record), CORVANE_TEST_SLEEP_MS="4000")
    process = start(RECORDING_BOOTSTRAPPER, env=env)

    # The probe run has started and sleeps before passing; the file goes away under it (the Unix side
    # can remove an image Wine is running), so the real start that follows finds nothing.
    assert wait_until(lambda: len(read_runs(record)) == 1, timeout=60)
    cached_app(data_root).unlink()

    box = ui("read", MESSAGE_TITLE)
    assert box.message == "运行环境已就绪，但截图工具未能启动。请重新打开轻量版，或使用完整版。"
    assert box.icon == "warning"
    ui("click", MESSAGE_TITLE, 1)
    assert wait_exit(process) == 1
    assert len(read_runs(record)) == 1
