"""The road of a company that moves its app to .NET 10: the test app built for net10.0-windows, Microsoft's
10.0 runtime packs laid out as runtime roots, and a bootstrapper built for that runtime
(CORVANE_RUNTIME_VERSION set to a 10.0.x version, tests/dotnet-builds). The complete 10.0 root runs the app;
a root with only the default 8.0 runtime is refused by Microsoft's host, and the consent prompt then names
.NET 10; the install road fetches the 10.0 installer's path and ends with the app on the 10.0 root just laid
down.

Needs the .NET SDK (CTest entry `dotnet`, with dotnet_real_runtime.py)."""
import shutil

import server_control
from server_control import requests_seen

from conftest import BUILD_DIR, start, ui, wait_exit, windows_path
from dotnet_real_runtime import (DLL_OVERRIDES, PROBE_SWITCH, ROOTS, assert_runs_on, assert_started_by_the_bootstrapper,
                                 dotnet_env, records, wait_for_records)
from test_install_road import SIGNED_INSTALLER, Road, consent
from texts import CONSENT_TITLE

ROOTS_10 = BUILD_DIR / "dotnet10-runtime" / "roots"
# make_roots.py writes the version it laid out first in its stamp.
VERSION_10 = (BUILD_DIR / "dotnet10-runtime" / "made.stamp").read_text().split()[0]
APP_10 = BUILD_DIR / "dotnet10-app" / "bin" / "Release" / "net10.0-windows" / "win-x64" / "publish" / "Corvane.App.exe"
BOOTSTRAPPER_10 = BUILD_DIR / "Corvane_Dotnet10_Lite.exe"
INSTALLER_PATH_10 = f"/dotnet/WindowsDesktop/{VERSION_10}/windowsdesktop-runtime-{VERSION_10}-win-x64.exe"
FRAMEWORK_MISSING = 0x80008096
DECLINE = 2


def test_the_net10_app_starts_on_the_complete_10_root(tmp_path, data_root):
    assert VERSION_10.startswith("10.0.")
    root = windows_path(ROOTS_10 / "complete")
    record = tmp_path / "record.jsonl"
    env = dotnet_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=root,
                     CORVANE_TEST_RECORD=windows_path(record))

    assert wait_exit(start(BOOTSTRAPPER_10, env=env), timeout=120) == 0

    [launch] = wait_for_records(record, 1)
    assert_runs_on(launch, root, VERSION_10)
    assert_started_by_the_bootstrapper(launch, root, BOOTSTRAPPER_10)


def test_a_root_with_only_8_is_refused_by_the_host_and_the_prompt_names_net10(tmp_path, data_root):
    root = windows_path(ROOTS / "complete")
    assert not (ROOTS / "complete" / "shared" / "Microsoft.NETCore.App" / VERSION_10).exists()
    # Microsoft's host itself refuses the app on that root: the framework it asks for is missing.
    probe = start(APP_10, PROBE_SWITCH, env=dotnet_env(DOTNET_ROOT_X64=root, DOTNET_ROOT=root,
                                                      DOTNET_MULTILEVEL_LOOKUP="0", DOTNET_DISABLE_GUI_ERRORS="1"))
    assert wait_exit(probe, timeout=120) == FRAMEWORK_MISSING & 0xFF

    record = tmp_path / "record.jsonl"
    env = dotnet_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=root,
                     CORVANE_TEST_RECORD=windows_path(record))
    process = start(BOOTSTRAPPER_10, env=env)
    prompt = ui("read", CONSENT_TITLE, timeout_ms=120000)
    assert "首次使用需要安装 .NET 10 桌面运行环境" in prompt.texts
    assert any(text.startswith("这台电脑尚未具备运行截图工具所需的 .NET 10 Desktop Runtime（64 位）。")
               for text in prompt.texts), prompt.texts
    ui("click", CONSENT_TITLE, DECLINE)
    assert wait_exit(process, timeout=120) == 0
    assert records(record) == []


def test_the_install_road_ends_on_the_10_root_just_installed(tmp_path):
    assert server_control.set_scenario({INSTALLER_PATH_10: {"file": str(SIGNED_INSTALLER)}})
    road = Road(tmp_path)
    road.env.update(WINEDLLOVERRIDES=DLL_OVERRIDES, CORVANE_TEST_INSTALLER_RUNTIME=windows_path(ROOTS_10 / "complete"))
    try:
        process = consent(road.start(BOOTSTRAPPER_10))
        assert wait_exit(process, timeout=600) == 0
        [request] = requests_seen()
        assert request["path"] == INSTALLER_PATH_10
        [launch] = wait_for_records(road.app_record, 1)
        runtime_root = windows_path(road.runtime_root)
        assert_runs_on(launch, runtime_root, VERSION_10)
        assert_started_by_the_bootstrapper(launch, runtime_root, BOOTSTRAPPER_10)
        assert len(road.installer_runs()) == 1
        assert road.staged_files() == []
    finally:
        shutil.rmtree(road.runtime_root, ignore_errors=True)
