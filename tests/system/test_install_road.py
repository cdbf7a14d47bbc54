"""The whole road with installation, end to end: the real bootstrapper (a build that downloads from the
local HTTPS server and accepts exactly the signed test installer) asks for consent, downloads and checks
the installer, runs it with its switches, searches again and starts the app. The test installer records
how it was started, makes the runtime root it is told to and exits with the code it is told to."""
import os
import re
import time

import pytest
import server_control
from server_control import INSTALLER_PATH, requests_seen

from conftest import (BUILD_DIR, TOOLS_DIR, UI_HELPER, MutexHolder, run, small_drive, start, ui, wait_exit,
                      wait_until, windows_path, wine_env)
from test_runtime_launch import TEST_APP, make_root, read_runs
from texts import (BUSY_TEXT, CANCELLING_TEXT, CONSENT_TITLE, DOWNLOAD_TITLE, MESSAGE_TITLE, NOT_READY,
                   RESTART_NEEDED, SAVE_FAILED, SIGNATURE_REFUSED, STAGING_FAILED, START_FAILED, failed_with,
                   received_text)

INSTALL_BOOTSTRAPPER = BUILD_DIR / "Corvane_Install_Lite.exe"
OTHER_SIGNER_BOOTSTRAPPER = BUILD_DIR / "Corvane_Install_OtherSigner_Lite.exe"
UNSIGNED_BOOTSTRAPPER = BUILD_DIR / "Corvane_Install_Unsigned_Lite.exe"
# Each of the three builds accepts only its own file (by digest); the last two fail the signature check.
SIGNED_INSTALLER = TOOLS_DIR / "corvane-test-installer.exe"
OTHER_SIGNER_INSTALLER = TOOLS_DIR / "corvane-test-installer-other-signer.exe"
UNSIGNED_INSTALLER = TOOLS_DIR / "corvane-test-installer-unsigned.exe"

DOWNLOAD_LINK = 100
CANCEL = 2


def set_scenario(route):
    """What the local server answers for the installer's address."""
    assert server_control.set_scenario({INSTALLER_PATH: route})


def release_held_answers():
    assert server_control.release_held_answers()


class Road:
    """One start of an install build: its data root, the runtime root its installer may make, and what the
    installer and the app recorded."""

    def __init__(self, tmp_path, exit_code=0, makes_root=True, wait_for=None):
        self.data_root = tmp_path / "data"
        self.data_root.mkdir()
        self.downloads = self.data_root / "lite-cache" / "downloads"
        self.runtime_root = tmp_path / "installed runtime"
        self.installer_record = tmp_path / "installer.bin"
        self.app_record = tmp_path / "app.bin"
        self.env = wine_env(
            CORVANE_TEST_DATA_ROOT=windows_path(self.data_root),
            # Searched by both probes; only the installer makes it a runtime root.
            DOTNET_ROOT=windows_path(self.runtime_root),
            CORVANE_TEST_RECORD=windows_path(self.app_record),
            CORVANE_TEST_INSTALLER_RECORD=windows_path(self.installer_record),
            CORVANE_TEST_INSTALLER_ROOT=windows_path(self.runtime_root) if makes_root else None,
            CORVANE_TEST_INSTALLER_EXIT_CODE=str(exit_code),
            CORVANE_TEST_INSTALLER_WAIT_FOR=windows_path(wait_for) if wait_for else None)

    def start(self, exe=INSTALL_BOOTSTRAPPER):
        return start(exe, env=self.env)

    def installer_runs(self):
        """The command lines the test installer was started with (its records carry no environment)."""
        return [run.command_line for run in read_runs(self.installer_record)]

    def launches(self):
        """The real starts of the app (probe runs left out)."""
        return [run for run in read_runs(self.app_record) if "--corvane-runtime-probe" not in run.command_line]

    def staged_files(self):
        return sorted(p.name for p in self.downloads.iterdir()) if self.downloads.exists() else []


def consent(process):
    ui("click", CONSENT_TITLE, DOWNLOAD_LINK)
    return process


def expect_warning(process, message):
    box = ui("read", MESSAGE_TITLE)
    assert box.message == message
    assert box.icon == "warning"
    ui("click", MESSAGE_TITLE, 1)
    assert wait_exit(process) == 1


def staged_command_line(road):
    """The installer's exact command line: the staged file in the downloads directory, then the switches."""
    pattern = re.escape('"' + windows_path(road.downloads) + "\\") + r"CVN[0-9A-Fa-f]{1,4}\.tmp\.exe" + \
        re.escape('" /install /passive /norestart')
    return re.compile(pattern + "$")


@pytest.mark.parametrize("exit_code, makes_root, message", [
    (0, True, None),
    (3010, True, None),               # usable at once: the app starts, no word of a restart
    (0, False, NOT_READY),
    (3010, False, RESTART_NEEDED),
    (1602, False, None),              # the user cancelled the installer: quiet
    (1603, False, failed_with(1603)),
    (4294967295, False, failed_with(4294967295)),
])
def test_installer_runs_with_its_switches_and_its_code_decides(tmp_path, exit_code, makes_root, message):
    set_scenario({"file": str(SIGNED_INSTALLER)})
    road = Road(tmp_path, exit_code=exit_code, makes_root=makes_root)
    process = consent(road.start())

    if message is None:
        assert wait_exit(process) == 0
    else:
        expect_warning(process, message)

    runs = road.installer_runs()
    assert len(runs) == 1
    assert staged_command_line(road).match(runs[0]), runs[0]
    assert len(requests_seen()) == 1
    if makes_root:
        # The second search proved the new root and the app was started under it.
        assert wait_until(lambda: len(road.launches()) == 1)
        assert road.launches()[0].environment["DOTNET_ROOT"] == windows_path(road.runtime_root)
    else:
        assert road.launches() == []
    assert road.staged_files() == []


# A download the server holds a little past its first mebibyte (a held body, unlike a stalled one, never
# lets the download's receive timeout run out).
HELD_PAST_FIRST_MEBIBYTE = {"size": 4 << 20, "hold_after": (1 << 20) + 1000}


def wait_for_held_download():
    """Waits until the dialog shows the first mebibyte. The worker has then reached the body and waits in
    its next read, which Wine's WinHttpReadData ends only once the whole buffer is filled, so a Cancel from
    now on stays pending, the dialog cancelling, until the held answer ends. A Cancel that comes while the
    worker is still connecting ends the download as soon as the connection stands."""
    assert wait_until(lambda: received_text(1) in ui("read", DOWNLOAD_TITLE).texts, timeout=120)


def test_cancelling_the_download_ends_quietly_without_an_installer(tmp_path):
    set_scenario(HELD_PAST_FIRST_MEBIBYTE)
    road = Road(tmp_path)
    process = consent(road.start())

    wait_for_held_download()
    ui("click", DOWNLOAD_TITLE, CANCEL)
    cancelling = ui("read", DOWNLOAD_TITLE)
    assert CANCELLING_TEXT in cancelling.texts
    assert not cancelling.buttons[CANCEL]["enabled"]
    # Ends the held answer: the worker's read returns, it sees the request and the dialog closes.
    set_scenario({})
    assert wait_exit(process) == 0

    assert road.installer_runs() == []
    assert road.staged_files() == []


@pytest.mark.parametrize("exe, installer", [(OTHER_SIGNER_BOOTSTRAPPER, OTHER_SIGNER_INSTALLER),
                                            (UNSIGNED_BOOTSTRAPPER, UNSIGNED_INSTALLER)],
                         ids=["other-signer", "unsigned"])
def test_installer_without_the_microsoft_signature_is_never_run(tmp_path, exe, installer):
    set_scenario({"file": str(installer)})
    road = Road(tmp_path)
    expect_warning(consent(road.start(exe)), SIGNATURE_REFUSED)
    assert road.installer_runs() == []
    assert road.staged_files() == []


def test_leftover_file_at_the_staged_name_stops_before_the_download_and_stays(tmp_path):
    road = Road(tmp_path)
    # Every name the platform can pick ("CVN", up to four hex digits, ".tmp"), taken with ".exe" added, so
    # whichever name is reserved, its rename meets a leftover of an earlier run.
    road.downloads.mkdir(parents=True)
    leftovers = {f"CVN{unique:x}.tmp.exe" for unique in range(1, 0x10000)}
    for name in leftovers:
        (road.downloads / name).write_bytes(b"earlier run")
    set_scenario({"file": str(SIGNED_INSTALLER)})

    expect_warning(consent(road.start()), STAGING_FAILED)

    # The reserved name is gone again and every earlier file is untouched.
    assert set(road.staged_files()) == leftovers
    assert all((road.downloads / name).read_bytes() == b"earlier run" for name in list(leftovers)[::997])
    assert requests_seen() == []
    assert road.installer_runs() == []


def test_nothing_can_change_the_installer_file_while_it_runs(tmp_path):
    set_scenario({"file": str(SIGNED_INSTALLER)})
    go = tmp_path / "go"
    road = Road(tmp_path, wait_for=go)
    process = consent(road.start())

    assert wait_until(lambda: len(road.installer_runs()) == 1, timeout=60)
    [staged] = road.staged_files()
    # Another process: opening for writing, renaming and deleting are all refused (ui-helper exits 0).
    attempt = run(UI_HELPER, "try-change", windows_path(road.downloads / staged))
    assert attempt.returncode == 0, attempt.stdout
    assert (road.downloads / staged).read_bytes() == SIGNED_INSTALLER.read_bytes()

    go.write_bytes(b"")
    assert wait_exit(process) == 0
    assert road.staged_files() == []


def test_second_start_during_consent_or_download_only_informs(tmp_path):
    # Held, so the download is still running through both second starts and the cancel.
    set_scenario(HELD_PAST_FIRST_MEBIBYTE)
    road = Road(tmp_path)

    def second_start_informs():
        second = road.start()
        box = ui("read", MESSAGE_TITLE)
        assert box.message == BUSY_TEXT
        assert box.icon == "information"
        ui("click", MESSAGE_TITLE, 1)
        assert wait_exit(second) == 0

    first = road.start()
    ui("read", CONSENT_TITLE)
    second_start_informs()
    consent(first)

    ui("read", DOWNLOAD_TITLE)
    second_start_informs()
    # The first still answers its dialog as before.
    wait_for_held_download()
    ui("click", DOWNLOAD_TITLE, CANCEL)
    assert CANCELLING_TEXT in ui("read", DOWNLOAD_TITLE).texts
    set_scenario({})
    assert wait_exit(first) == 0
    assert road.installer_runs() == []
    assert road.staged_files() == []


@pytest.mark.parametrize("level", ["downloads", "lite-cache"])
def test_a_downloads_directory_redirected_before_the_download_starts_nothing(tmp_path, level):
    # The server keeps its answer back while another program of the same user swaps the downloads
    # directory (or a level above it) for a link to its own content, as it could in the seconds before
    # the download writes. Download, digest and signature all pass through the link, so only the check
    # before the start can tell.
    set_scenario({"file": str(SIGNED_INSTALLER), "hold": True})
    road = Road(tmp_path)
    process = consent(road.start())

    assert wait_until(lambda: len(requests_seen()) == 1)
    [staged] = road.staged_files()
    assert (road.downloads / staged).stat().st_size == 0
    swapped = road.downloads if level == "downloads" else road.downloads.parent
    real = swapped.with_name(swapped.name + ".real")
    swapped.rename(real)
    swapped.symlink_to(real, target_is_directory=True)
    release_held_answers()

    expect_warning(process, START_FAILED)
    assert road.installer_runs() == []
    assert len(requests_seen()) == 1
    # The staged file is gone from the directory the link led to.
    assert road.downloads.resolve().is_relative_to(real)
    assert road.staged_files() == []


def test_a_disk_that_fills_up_during_the_download_leaves_no_staged_file(tmp_path):
    # Room for the cached app and about half of the installer.
    size = TEST_APP.stat().st_size + SIGNED_INSTALLER.stat().st_size // 2
    set_scenario({"file": str(SIGNED_INSTALLER)})
    road = Road(tmp_path)
    with small_drive(tmp_path, size) as (letter, mount_point):
        road.env["CORVANE_TEST_DATA_ROOT"] = f"{letter}:\\"
        road.downloads = mount_point / "lite-cache" / "downloads"
        expect_warning(consent(road.start()), SAVE_FAILED)

        assert len(requests_seen()) == 1
        assert road.installer_runs() == []
        assert road.downloads.is_dir()
        assert road.staged_files() == []


def test_an_installer_left_by_a_killed_download_stays_a_day_and_goes_on_a_start_after_that(tmp_path):
    # Held after 1000 bytes, so the download is under way when the start is ended the way Task Manager or
    # a logoff ends it: SIGKILL of its wine process, which is the Windows process itself, so nothing of
    # the bootstrapper runs on the way out.
    set_scenario({"file": str(SIGNED_INSTALLER), "hold_after": 1000})
    road = Road(tmp_path)
    process = consent(road.start())
    assert wait_until(lambda: len(requests_seen()) == 1)
    process.kill()
    process.wait()
    set_scenario({})
    [left] = road.staged_files()
    assert re.fullmatch(r"CVN[0-9A-Fa-f]{1,4}\.tmp\.exe", left)
    assert run(UI_HELPER, "mutex-gone", MutexHolder.NAME, "--timeout", "20000").returncode == 0

    # Later starts take the launch road. Within the day the file stays: a start of another logon session
    # may be downloading into a file of this form without holding the single-instance guard of this one.
    make_root(road.runtime_root)
    assert wait_exit(road.start()) == 0
    assert road.staged_files() == [left]
    two_days_ago = time.time() - 2 * 24 * 60 * 60
    os.utime(road.downloads / left, (two_days_ago, two_days_ago))
    assert wait_exit(road.start()) == 0
    assert road.staged_files() == []
    assert wait_until(lambda: len(road.launches()) == 2)
    assert road.installer_runs() == []
