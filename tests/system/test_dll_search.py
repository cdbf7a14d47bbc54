"""The bootstrapper started from a Downloads folder into which someone dropped DLLs named after system DLLs
(a browser may save files there without asking). Windows looks for every DLL outside its KnownDLLs list in
the exe's own folder first; WINEDLLOVERRIDES=NAME=n,b makes Wine do the same for those names. Each planted
DLL leaves a marker file when any process loads it. On every road (launch, consent, the whole install) no
marker may appear, and the road must end exactly as it does without the planted files. The launch road is
also played with the release exe itself. (The bootstrapper also takes the current directory out of its
search; Windows alone can show that, see PlantedFolder.)

Never planted: version.dll and zlib1.dll, which Wine's own user32 imports, so Wine loads them before any
code of the exe runs (on Windows user32 is a KnownDLL and its imports never come from the exe's folder).
"""
import os
import shutil

import pytest

from server_control import requests_seen

from conftest import RUNTIME_MAJOR, TOOLS_DIR, run, start, ui, wait_exit, wait_until, windows_path, wine_env
from test_install_road import DOWNLOAD_LINK, INSTALL_BOOTSTRAPPER, SIGNED_INSTALLER, Road, set_scenario, staged_command_line
from test_release import expect_demo_app_started_by
from test_runtime_launch import RECORDING_BOOTSTRAPPER, make_root, read_runs
from texts import CONSENT_TITLE, MESSAGE_TITLE

MARKER_DLL = TOOLS_DIR / "corvane-marker.dll"
TRUST_CHECK = TOOLS_DIR / "trust-check.exe"
DECLINE = 2

# What the bootstrapper loads after its start (the delay-loaded DLLs), what those load in turn, and what
# Wine loads for the dialogs, the download, the signature check and the elevated start.
PLANTED = ("bcrypt", "comctl32", "crypt32", "winhttp", "wintrust", "uxtheme", "secur32", "dwmapi",
           "cryptbase", "msimg32", "cryptnet", "dnsapi", "iphlpapi", "msasn1", "mssign32", "netapi32",
           "rsaenh", "schannel", "softpub", "userenv", "ws2_32", "wtsapi32")
# Wine's own DLLs resolve their delay imports with no search path at all (LdrLoadDll without a path),
# which under Wine looks in the exe's folder first whatever the process restricted; Windows applies the
# process's restriction to those loads too. Measured: Wine's uxtheme delay-loads msimg32 when a dialog is
# drawn, and Wine's winhttp delay-loads secur32 and crypt32 for TLS and the server's certificate (and
# may delay-load iphlpapi and dhcpcsvc), all from the exe's folder even after the search was restricted
# to System32. So on a road that shows a dialog or downloads, those names are not planted: under Wine
# they would show Wine's loader, not ours.
LOADED_BY_WINE_DIALOGS = {"msimg32"}
LOADED_BY_WINE_DOWNLOADS = {"crypt32", "secur32", "iphlpapi", "dhcpcsvc"}


class PlantedFolder:
    """The exe copied into a folder full of marker DLLs; started with that folder as its current directory,
    as a double-click in the Downloads folder starts it. (A DLL planted only in a current directory
    elsewhere is never reached under Wine, which looks in System32 first: measured with a program that
    imports wintrust.dll and never restricts its search.)"""

    def __init__(self, tmp_path, exe, spared=()):
        self.names = [name for name in PLANTED if name not in spared]
        self.folder = tmp_path / "Downloads"
        self.folder.mkdir()
        for name in self.names:
            shutil.copy(MARKER_DLL, self.folder / f"{name}.dll")
        self.exe = self.folder / exe.name
        shutil.copy(exe, self.exe)

    def env(self, env):
        overrides = [part for part in os.environ.get("WINEDLLOVERRIDES", "").split(";") if part]
        return dict(env, WINEDLLOVERRIDES=";".join(overrides + [",".join(self.names) + "=n,b"]))

    def start(self, env):
        return start(self.exe, env=self.env(env), cwd=self.folder)

    def markers(self):
        """Each marker left, by the planted DLL's name in lower case, with the exes that loaded it."""
        return {path.name.lower(): path.read_bytes().decode("utf-16-le").split("\n")[:-1]
                for path in sorted(self.folder.glob("*.loaded"))}


def test_planted_dlls_are_loaded_by_a_program_that_imports_them_plainly(tmp_path):
    # The control: a program that imports wintrust.dll statically and never restricts its search loads
    # the planted copy (which then refuses to initialise), so a test below that sees no marker saw a
    # search that really passed the planted files by.
    planted = PlantedFolder(tmp_path, TRUST_CHECK)
    result = run(planted.exe, windows_path(SIGNED_INSTALLER), env=planted.env(wine_env()), cwd=planted.folder)
    assert result.returncode != 0
    assert planted.markers() == {"wintrust.dll.loaded": [windows_path(planted.exe)]}


def test_launch_road_loads_nothing_from_the_exe_folder(tmp_path, data_root):
    planted = PlantedFolder(tmp_path, RECORDING_BOOTSTRAPPER)
    root = make_root(tmp_path / "runtime")
    record = tmp_path / "record.bin"
    process = planted.start(wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(root),
                                     CORVANE_TEST_RECORD=windows_path(record)))

    assert wait_exit(process) == 0
    assert wait_until(lambda: len(read_runs(record)) == 2)
    probe, launch = read_runs(record)
    assert probe.command_line.endswith(" --corvane-runtime-probe")
    assert launch.environment["CORVANE_BOOTSTRAP_PATH"] == windows_path(planted.exe)
    assert launch.environment["DOTNET_ROOT"] == windows_path(root)
    assert planted.markers() == {}


def test_launch_road_of_the_release_exe_loads_nothing_from_the_exe_folder(tmp_path, data_root, releases):
    # The file that ships: the stripped exe that scripts/release makes, which users double-click in their
    # Downloads folder. The test builds share its code and link options, not its bytes. It carries the
    # demo app, which shows in a window how it was started.
    exe = releases["signed"].exe
    planted = PlantedFolder(tmp_path, exe)
    assert planted.exe.read_bytes() == exe.read_bytes()
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root),
                   DOTNET_ROOT=windows_path(make_root(tmp_path / "runtime")))
    expect_demo_app_started_by(planted.exe, planted.start(env))
    assert planted.markers() == {}


def test_consent_road_loads_nothing_from_the_exe_folder(tmp_path, data_root):
    planted = PlantedFolder(tmp_path, RECORDING_BOOTSTRAPPER, spared=LOADED_BY_WINE_DIALOGS)
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(tmp_path / "no runtime"),
                   DOTNET_ROOT_X64="")
    process = planted.start(env)

    # The task dialog of the version-6 common controls, with its command links, as without planted files.
    prompt = ui("read", CONSENT_TITLE)
    assert f"首次使用需要安装 .NET {RUNTIME_MAJOR} 桌面运行环境" in prompt.texts
    assert prompt.buttons[DOWNLOAD_LINK]["text"] == "下载并安装\n从微软官方下载所需运行环境"
    assert prompt.buttons[DECLINE]["text"] == "暂不安装，退出轻量版"
    ui("click", CONSENT_TITLE, DECLINE)
    assert wait_exit(process) == 0
    assert planted.markers() == {}


def test_install_road_loads_nothing_from_the_exe_folder(tmp_path):
    # Download over TLS, SHA-512, the signature check, the elevated installer start and the launch.
    set_scenario({"file": str(SIGNED_INSTALLER)})
    road = Road(tmp_path)
    planted = PlantedFolder(tmp_path, INSTALL_BOOTSTRAPPER, spared=LOADED_BY_WINE_DIALOGS | LOADED_BY_WINE_DOWNLOADS)
    process = planted.start(road.env)
    ui("click", CONSENT_TITLE, DOWNLOAD_LINK)

    assert wait_exit(process) == 0
    assert len(requests_seen()) == 1
    runs = road.installer_runs()
    assert len(runs) == 1 and staged_command_line(road).match(runs[0]), runs
    assert wait_until(lambda: len(road.launches()) == 1)
    assert road.launches()[0].environment["CORVANE_BOOTSTRAP_PATH"] == windows_path(planted.exe)
    assert road.staged_files() == []
    assert planted.markers() == {}
    assert ui("read", MESSAGE_TITLE, timeout_ms=0, check=False) is None
