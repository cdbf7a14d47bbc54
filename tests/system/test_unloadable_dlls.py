"""A system DLL that the exe delay-loads and that cannot be loaded, met on the road that first needs it:
WINEDLLOVERRIDES=NAME= (an empty value) disables a DLL under Wine, as a damaged or trimmed system or a
blocking policy would on Windows. The start ends as any other unexpected failure does: the generic warning
box, exit code 1, nothing staged left behind. Left to the loader's delay-load helper, the missing DLL
would raise a structured exception that no handler sees: the process crashes (on Windows the crash
dialog, exit code 0xC06D007E; the test prefixes turn Wine's crash dialog off, so here it ends at once with
the code's low byte), with the staged files left where they were. So each start here must end with the
box and exit code 1.

On the download worker the failure is that thread's own unexpected failure, so the box carries the
worker's generic text, as for any other unexpected failure there."""
import os

import pytest
from server_control import requests_seen

from conftest import start, ui, wait_exit, windows_path, wine_env
from test_entry_point import REPORT_PROBE
from test_install_road import DOWNLOAD_LINK, INSTALL_BOOTSTRAPPER, SIGNED_INSTALLER, Road, expect_warning, set_scenario
from test_runtime_launch import RECORDING_BOOTSTRAPPER, cached_app, make_root, read_runs
from texts import CONSENT_TITLE, DOWNLOAD_GENERIC_FAILURE, DOWNLOAD_TITLE, GENERIC_FAILURE


def without(env, dll):
    overrides = [part for part in env.get("WINEDLLOVERRIDES", "").split(";") if part]
    return dict(env, WINEDLLOVERRIDES=";".join(overrides + [f"{dll}="]))


def test_without_bcrypt_the_launch_road_ends_in_the_box_and_leaves_no_staging_file(tmp_path, data_root):
    # The first start: the copy is written under its staging name, then its digest needs bcrypt.
    record = tmp_path / "record.bin"
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(make_root(tmp_path / "rt")),
                   DOTNET_ROOT_X64="", CORVANE_TEST_RECORD=windows_path(record))
    expect_warning(start(RECORDING_BOOTSTRAPPER, env=without(env, "bcrypt")), GENERIC_FAILURE)

    directory = cached_app(data_root).parent
    assert directory.is_dir()
    assert os.listdir(directory) == []
    assert read_runs(record) == []


def test_without_comctl32_the_consent_prompt_ends_the_start_with_1_and_nothing_staged(tmp_path, data_root):
    # No runtime, so the road goes to the consent prompt, the first task dialog. Under Wine no box at all
    # can be drawn in this process: the manifest maps the standard controls (the box's text and its OK
    # button) to version 6 of the common controls, Wine looks them up there whatever context is active, and
    # without the DLL their windows cannot be created (measured: MessageBoxW returns -1). On Windows the
    # loader refuses to start an exe whose manifest names an assembly it cannot find. What is left to see
    # here: the start ends by itself through the entry point's handler, with 1 and nothing staged.
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(tmp_path / "no runtime"),
                   DOTNET_ROOT_X64="")
    process = start(RECORDING_BOOTSTRAPPER, env=without(env, "comctl32"))

    assert wait_exit(process) == 1
    assert ui("read", CONSENT_TITLE, timeout_ms=0, check=False) is None
    assert os.listdir(cached_app(data_root).parent) == ["Corvane.App.exe"]
    assert not (data_root / "lite-cache" / "downloads").exists()


@pytest.mark.parametrize("dll, requests", [("winhttp", 0), ("wintrust", 1)])
def test_without_a_dll_of_the_download_worker_the_box_shows_its_generic_text_and_nothing_stays(tmp_path, dll,
                                                                                               requests):
    # winhttp is the download's first call; wintrust comes after a complete download and its digest check.
    set_scenario({"file": str(SIGNED_INSTALLER)})
    road = Road(tmp_path)
    process = start(INSTALL_BOOTSTRAPPER, env=without(road.env, dll))
    ui("click", CONSENT_TITLE, DOWNLOAD_LINK)

    expect_warning(process, DOWNLOAD_GENERIC_FAILURE)
    assert ui("read", DOWNLOAD_TITLE, timeout_ms=0, check=False) is None
    assert len(requests_seen()) == requests
    assert road.installer_runs() == []
    assert road.launches() == []
    assert road.staged_files() == []


def test_without_crypt32_the_signature_check_ends_in_the_box():
    # On the download road Wine's own winhttp needs crypt32 for TLS and, without it, fails inside Wine's
    # code before the worker gets further (Windows' winhttp imports it plainly, so there the worker's own
    # check of winhttp refuses first). So the signature check, crypt32's one road, is asked directly,
    # under the entry point's reporting.
    process = start(REPORT_PROBE, "signature", windows_path(SIGNED_INSTALLER), env=without(wine_env(), "crypt32"))
    expect_warning(process, GENERIC_FAILURE)
