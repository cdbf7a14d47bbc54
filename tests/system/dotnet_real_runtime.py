"""The bootstrapper against Microsoft's own .NET: a real WPF app (tools/dotnet-app) published with the .NET
SDK as app teams are told to publish theirs, Microsoft's app host in front of it, and Microsoft's runtime
packs of the version the bootstrapper installs (CORVANE_RUNTIME_VERSION) laid out as the runtime roots a PC really has (tools/dotnet-runtime/make_roots.py). What
the bootstrapper relies on of the app host is tried here for real: it takes the runtime from the root in
DOTNET_ROOT_X64 and DOTNET_ROOT and from nowhere else, refuses a root without a fitting desktop runtime,
rolls <major>.0.0 forward to that patch, and shows no error window of its own while DOTNET_DISABLE_GUI_ERRORS is 1.

The host is also the judge of the bootstrapper's runtime search: a table of machine states (variables,
the registered install location in either registry view, a runtime in Program Files) is played by
starting the app directly, as a user would, and through the bootstrapper; both must end on the same root.

The app records what it was started with and the runtime it really runs on; probe runs leave no record,
since the app answers a probe before anything else runs. A root that the app's probe did not pass was
therefore refused before the app's Main, by the host.

Needs the .NET SDK, which builds the app and restores the runtime packs: CTest runs this file (entry
`dotnet`) only where the build found it.
"""
import contextlib
import dataclasses
import hashlib
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import VERSION as BOOTSTRAPPER_VERSION
from conftest import RUNTIME_MAJOR, RUNTIME_VERSION, BUILD_DIR, SOURCE_DIR, UI_HELPER, run, start, ui, wait_exit, wait_until, windows_path, wine_env
from test_install_road import SIGNED_INSTALLER, Road, consent, expect_warning, set_scenario
from test_payload_guard import FIX, check, configure
from texts import CONSENT_TITLE, NOT_READY

VERSION = RUNTIME_VERSION
APP_PROJECT = SOURCE_DIR / "tools" / "dotnet-app"
APP_BUILD = BUILD_DIR / "dotnet-app"
BUILD_OUTPUT = APP_BUILD / "bin" / "Release" / f"net{RUNTIME_MAJOR}.0-windows" / "win-x64"
DOTNET_APP = BUILD_OUTPUT / "publish" / "Corvane.App.exe"
ROOTS = BUILD_DIR / "dotnet-runtime" / "roots"
BOOTSTRAPPER = BUILD_DIR / "Corvane_Dotnet_Lite.exe"
INSTALL_BOOTSTRAPPER = BUILD_DIR / "Corvane_Dotnet_Install_Lite.exe"
PROBE_SWITCH = "--corvane-runtime-probe"
INSTALL_LOCATION_KEY = r"HKLM\SOFTWARE\dotnet\Setup\InstalledVersions\x64"

# The app host's own box: titled after the exe, with Yes (open the download page) and No.
HOST_BOX_TITLE = "Corvane.App.exe"
NO = 7
# The app host's exit codes for the refusals (HRESULTs; `wine` hands back their low byte).
FRAMEWORK_MISSING = 0x80008096
HOSTFXR_MISSING = 0x80008083

BROKEN_ROOTS = {
    # root: the host's exit code, and what its box names as missing
    "no-desktop": (FRAMEWORK_MISSING, f"Required: 'Microsoft.WindowsDesktop.App', version '{RUNTIME_MAJOR}.0.0' (x64)"),
    "other-major": (FRAMEWORK_MISSING, f"Required: 'Microsoft.NETCore.App', version '{RUNTIME_MAJOR}.0.0' (x64)"),
    "no-hostfxr": (HOSTFXR_MISSING, "You must install .NET Desktop Runtime to run this application."),
}


# Wine's mscoree.dll stays on, as every Windows has it. Wine's loader hands each IL-only DLL that is loaded
# as an image to mscoree; the runtime loads its facade assemblies (System.Runtime.dll and others) that way,
# and with mscoree off, as the other tests keep it, each such load fails and the app dies before its Main
# with "Could not load file or assembly ... Module not found".
DLL_OVERRIDES = "mshtml="


def dotnet_env(**extra):
    return wine_env(WINEDLLOVERRIDES=DLL_OVERRIDES, **extra)


def root_path(name):
    return windows_path(ROOTS / name)


def records(record_file):
    """The app's complete records (a line it is still writing does not count yet)."""
    if not record_file.exists():
        return []
    text = record_file.read_text(encoding="utf-8")
    return [json.loads(line) for line in text.split("\n")[:-1]]


def wait_for_records(record_file, count, timeout=120):
    assert wait_until(lambda: len(records(record_file)) >= count, timeout=timeout), "the app recorded no start"
    found = records(record_file)
    assert len(found) == count, found
    return found


def cached_app(data_root):
    digest16 = hashlib.sha256(DOTNET_APP.read_bytes()).hexdigest()[:16]
    return data_root / "lite-cache" / BOOTSTRAPPER_VERSION / digest16 / "Corvane.App.exe"


def assert_runs_on(start_record, root, version=VERSION):
    """The app ran on Microsoft's runtime of that version from this root: both frameworks' assemblies were
    loaded from it."""
    core = root + "\\shared\\Microsoft.NETCore.App\\" + version
    assert start_record["runtime_version"] == version
    assert start_record["core_library"] == core + "\\System.Private.CoreLib.dll"
    assert start_record["runtime_directory"] == core + "\\"
    assert start_record["desktop_library"] == (root + "\\shared\\Microsoft.WindowsDesktop.App\\" + version +
                                               "\\PresentationFramework.dll")


def assert_started_by_the_bootstrapper(start_record, root, bootstrapper):
    variables = start_record["environment"]
    assert variables["DOTNET_ROOT_X64"] == root
    assert variables["DOTNET_ROOT"] == root
    assert variables["DOTNET_MULTILEVEL_LOOKUP"] == "0"
    assert variables["DOTNET_DISABLE_GUI_ERRORS"] is None
    assert variables["CORVANE_BOOTSTRAP_PATH"] == windows_path(bootstrapper)


class WindowWatch:
    """Notes every top-level window that any other Wine process creates while it is open (ui-helper watch):
    the system reports each creation to it, so even a window that lives for a moment is seen."""

    def __enter__(self):
        self.process = subprocess.Popen(["wine", str(UI_HELPER), "watch"], env=wine_env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.process.stdout.readline().strip() == b"watching"
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        output = self.process.stdout.read()
        code = self.process.wait(timeout=60)
        # The report is the watcher's whole answer, printed in one piece as its last act: a list that parses
        # is complete. Its exit status adds nothing, and may be lost: the Wine server SIGKILLs a process whose
        # threads have all ended but which has not left within about half a second, which on a loaded
        # machine can overtake a watcher that has already reported.
        lines = output.decode("utf-8").strip().splitlines()
        assert code in (0, -signal.SIGKILL) and lines, f"the window watch ended with {code} and reported {output!r}"
        self.windows = json.loads(lines[-1])

    def dialogs(self):
        """Message boxes and task dialogs (window class #32770), as (class, process) pairs."""
        return [(w["class"], w["pid"]) for w in self.windows if w["class"] == "#32770"]


@contextlib.contextmanager
def registered_install_location(root):
    """The machine-wide record of an installed runtime, where Microsoft's installer writes it (the 32-bit
    view): the bootstrapper lists it as a candidate, and the app host itself would fall back to it if it did
    not keep to the root it was handed."""
    added = run("reg", "add", INSTALL_LOCATION_KEY, "/v", "InstallLocation", "/t", "REG_SZ", "/d", root, "/f",
                "/reg:32", env=wine_env())
    assert added.returncode == 0, added.stderr
    try:
        yield
    finally:
        removed = run("reg", "delete", INSTALL_LOCATION_KEY, "/v", "InstallLocation", "/f", "/reg:32", env=wine_env())
        assert removed.returncode == 0, removed.stderr


def test_the_app_starts_on_microsofts_runtime_from_the_root_it_is_handed(tmp_path, data_root):
    # The runtime configuration asks for <major>.0.0 with LatestPatch; the root holds only the one patch.
    root = root_path("complete")
    record = tmp_path / "record.jsonl"
    env = dotnet_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=root,
                     CORVANE_TEST_RECORD=windows_path(record))

    assert wait_exit(start(BOOTSTRAPPER, env=env), timeout=120) == 0

    [launch] = wait_for_records(record, 1)
    app = windows_path(cached_app(data_root))
    assert launch["command_line"] == f'"{app}"'
    assert launch["directory"] == app.rsplit("\\", 1)[0]
    assert_runs_on(launch, root)
    assert_started_by_the_bootstrapper(launch, root, BOOTSTRAPPER)


@pytest.mark.parametrize("broken", BROKEN_ROOTS)
def test_the_host_refuses_a_broken_root_without_a_window_and_the_search_moves_on(tmp_path, data_root, broken):
    code, missing = BROKEN_ROOTS[broken]
    root = root_path(broken)
    complete = root_path("complete")
    # Both framework directories are there, so the bootstrapper's own check lets the root through to a probe.
    assert (ROOTS / broken / "shared" / "Microsoft.NETCore.App").is_dir()
    assert (ROOTS / broken / "shared" / "Microsoft.WindowsDesktop.App").is_dir()

    # Left to itself, the host refuses the root in an error box of its own, which waits for the user.
    with WindowWatch() as watch:
        alone = start(DOTNET_APP, PROBE_SWITCH,
                      env=dotnet_env(DOTNET_ROOT_X64=root, DOTNET_ROOT=root, DOTNET_MULTILEVEL_LOOKUP="0"))
        box = ui("read", HOST_BOX_TITLE)
        assert box.icon == "error"
        assert missing in box.message
        assert {6, NO} <= set(box.buttons)
        ui("click", HOST_BOX_TITLE, NO)
        assert wait_exit(alone) == code & 0xFF
    assert ("#32770", box.pid) in watch.dialogs()

    # The bootstrapper's probe of the same root, named first in DOTNET_ROOT_X64, while a complete runtime
    # is registered machine-wide: the host refuses the root without a window and without falling back to
    # the registered runtime, and the search moves on to that one, where the app starts.
    record = tmp_path / "record.jsonl"
    env = dotnet_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT_X64=root,
                     CORVANE_TEST_RECORD=windows_path(record))
    with registered_install_location(complete), WindowWatch() as watch:
        assert wait_exit(start(BOOTSTRAPPER, env=env), timeout=120) == 0
        [launch] = wait_for_records(record, 1)
    assert watch.dialogs() == []
    assert_runs_on(launch, complete)
    assert_started_by_the_bootstrapper(launch, complete, BOOTSTRAPPER)


@pytest.mark.parametrize("installed, message", [("complete", None), ("other-major", NOT_READY)],
                         ids=["complete", "other-major"])
def test_install_road_ends_with_the_app_on_the_runtime_just_installed(tmp_path, installed, message):
    # The stand-in installer lays down Microsoft's runtime (or, in the second case, one of another major
    # version, which the host refuses) where the bootstrapper's second search looks.
    set_scenario({"file": str(SIGNED_INSTALLER)})
    road = Road(tmp_path)
    road.env.update(WINEDLLOVERRIDES=DLL_OVERRIDES, CORVANE_TEST_INSTALLER_RUNTIME=root_path(installed))
    try:
        process = consent(road.start(INSTALL_BOOTSTRAPPER))
        if message is None:
            assert wait_exit(process, timeout=600) == 0
            [launch] = wait_for_records(road.app_record, 1)
            runtime_root = windows_path(road.runtime_root)
            assert_runs_on(launch, runtime_root)
            assert_started_by_the_bootstrapper(launch, runtime_root, INSTALL_BOOTSTRAPPER)
        else:
            expect_warning(process, message)
            assert records(road.app_record) == []
        assert len(road.installer_runs()) == 1
        assert road.staged_files() == []
    finally:
        shutil.rmtree(road.runtime_root, ignore_errors=True)


# Microsoft's app host as the judge of the runtime search. Each row is a state of a user's PC: the runtime
# variables in the user's environment, the InstallLocation value in either registry view, and whether a
# runtime lies in Program Files. The same app is started in that state twice: directly, as a user
# double-clicking it would (the host's own search), and through the bootstrapper. Written out per row: the
# root each start ends on, or None where the direct start is refused (the host's first pick is broken or
# missing) or where the bootstrapper asks to install. Wherever the host runs the app, the bootstrapper must
# run it on the same root; where the host fails, on the first root that works in its own order.
#
# Roots: A is the complete root of the runtime the bootstrapper installs, B a second complete one, CN a
# complete one below a folder whose name has a space and Chinese characters (a custom install location),
# PF the complete one in Program Files, BROKEN one whose hostfxr.dll is gone. A registry value ending in
# a backslash is the form Microsoft's installer writes.
@dataclasses.dataclass
class MachineState:
    id: str
    direct: str | None
    bootstrapper: str | None
    dotnet_root_x64: str | None = None
    dotnet_root: str | None = None
    view32: str | None = None
    view64: str | None = None
    program_files: bool = False


JUDGE_TABLE = [
    # The most common PC: the installer's default location, registered as the installer registers it.
    MachineState("installer-default-location", "PF", "PF", view32="{PF}\\", program_files=True),
    MachineState("installer-registered-32-bit-view", "A", "A", view32="{A}\\"),
    MachineState("registered-in-64-bit-view-only", None, "A", view64="{A}"),
    MachineState("views-name-different-roots", "A", "A", view32="{A}\\", view64="{B}"),
    MachineState("x64-variable-and-plain-variable-differ", "A", "A", dotnet_root_x64="{A}", dotnet_root="{B}",
                 view32="{CN}\\", program_files=True),
    MachineState("plain-variable-before-the-registry", "B", "B", dotnet_root="{B}", view32="{A}\\"),
    MachineState("space-and-chinese-in-the-registered-path", "CN", "CN", view32="{CN}\\", program_files=True),
    MachineState("program-files-only", "PF", "PF", program_files=True),
    MachineState("nothing-at-all", None, None),
    MachineState("registered-root-broken-program-files-good", None, "PF", view32="{BROKEN}\\", program_files=True),
    MachineState("x64-variable-broken-registered-good", None, "A", dotnet_root_x64="{BROKEN}", view32="{A}\\"),
]

DECLINE = 2
PROGRAM_FILES_WINDOWS = "C:\\Program Files\\dotnet"


def linked_root(target):
    """A complete root of its own at target, sharing the complete root's files through hard links."""
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copytree(ROOTS / "complete", target, copy_function=os.link)


@pytest.fixture(scope="module")
def judge_roots(tmp_path_factory):
    base = tmp_path_factory.mktemp("judge")
    linked_root(base / "second" / "dotnet")
    linked_root(base / "运行 环境" / "dotnet")
    return {"A": root_path("complete"), "B": windows_path(base / "second" / "dotnet"),
            "CN": windows_path(base / "运行 环境" / "dotnet"), "BROKEN": root_path("no-hostfxr"),
            "PF": PROGRAM_FILES_WINDOWS}


def clear_install_location():
    for view in ("/reg:32", "/reg:64"):
        run("reg", "delete", INSTALL_LOCATION_KEY, "/f", view, env=wine_env())


def write_install_location(value, view, directory):
    """Through a UTF-16 .reg file, which keeps every character and a trailing backslash as they are."""
    escaped = value.replace("\\", "\\\\").replace('"', '\\"')
    reg = directory / f"install-location-{view}.reg"
    reg.write_text("Windows Registry Editor Version 5.00\r\n\r\n[" + INSTALL_LOCATION_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE") +
                   f']\r\n"InstallLocation"="{escaped}"\r\n', encoding="utf-16")
    imported = run("reg", "import", windows_path(reg), f"/reg:{view}", env=wine_env())
    assert imported.returncode == 0, imported.stderr


@contextlib.contextmanager
def machine_state(state, roots, directory):
    """The state's registry values and Program Files runtime in the test prefix, removed afterwards; yields
    its environment variables."""
    program_files = pathlib.Path(os.environ["WINEPREFIX"]) / "drive_c" / "Program Files" / "dotnet"
    # Left by an interrupted run, it would be a runtime in every row.
    shutil.rmtree(program_files, ignore_errors=True)
    clear_install_location()
    try:
        if state.view32 is not None:
            write_install_location(state.view32.format(**roots), 32, directory)
        if state.view64 is not None:
            write_install_location(state.view64.format(**roots), 64, directory)
        if state.program_files:
            linked_root(program_files)
        yield {name: value.format(**roots) if value is not None else None
               for name, value in (("DOTNET_ROOT_X64", state.dotnet_root_x64), ("DOTNET_ROOT", state.dotnet_root))}
    finally:
        clear_install_location()
        shutil.rmtree(program_files, ignore_errors=True)


def same_path(path):
    """A path with separator runs collapsed and no trailing separator, as a directory is compared."""
    return re.sub(r"[\\/]+", r"\\", path).rstrip("\\")


def served_by(start_record, roots):
    """The name of the root whose frameworks (of the runtime the bootstrapper installs) the app really loaded."""
    assert start_record["runtime_version"] == VERSION
    core = same_path(start_record["core_library"])
    desktop = same_path(start_record["desktop_library"])
    core_tail = f"\\shared\\Microsoft.NETCore.App\\{VERSION}\\System.Private.CoreLib.dll"
    desktop_tail = f"\\shared\\Microsoft.WindowsDesktop.App\\{VERSION}\\PresentationFramework.dll"
    assert core.endswith(core_tail) and desktop.endswith(desktop_tail), start_record
    served = core[:-len(core_tail)]
    assert desktop[:-len(desktop_tail)] == served, start_record
    named = [name for name, root in roots.items() if same_path(root) == served]
    assert named, f"the app ran on {served}, none of this test's roots"
    return named[0]


def ends_by_itself(process, timeout=120):
    """The exit code of a start that needs nobody. One that still waits after the time-out fails the test with
    the dialog it waits in (the consent prompt, the host's error box), which is what went wrong."""
    if wait_until(lambda: process.poll() is not None, timeout=timeout):
        return process.returncode
    shown = [title for title in (CONSENT_TITLE, HOST_BOX_TITLE) if ui("read", title, timeout_ms=0, check=False)]
    pytest.fail(f"the start did not end by itself; it waits in {shown or 'no dialog'}")


@pytest.mark.parametrize("state", JUDGE_TABLE, ids=[state.id for state in JUDGE_TABLE])
def test_the_bootstrapper_ends_where_microsofts_host_does(tmp_path, data_root, judge_roots, state):
    # The table's own rule, so a row cannot be written against it.
    if state.direct is not None:
        assert state.bootstrapper == state.direct

    with machine_state(state, judge_roots, tmp_path) as variables:
        direct_record = tmp_path / "direct.jsonl"
        process = start(DOTNET_APP, env=dotnet_env(CORVANE_TEST_RECORD=windows_path(direct_record), **variables))
        if state.direct is None:
            # Refused by the host, which says so in its own box and waits for the user.
            box = ui("read", HOST_BOX_TITLE, timeout_ms=120000)
            assert box.icon == "error"
            ui("click", HOST_BOX_TITLE, NO)
            assert wait_exit(process) in (FRAMEWORK_MISSING & 0xFF, HOSTFXR_MISSING & 0xFF)
            assert records(direct_record) == []
        else:
            assert ends_by_itself(process) == 0
            [direct] = wait_for_records(direct_record, 1)
            assert served_by(direct, judge_roots) == state.direct

        record = tmp_path / "bootstrapper.jsonl"
        process = start(BOOTSTRAPPER, env=dotnet_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root),
                                                     CORVANE_TEST_RECORD=windows_path(record), **variables))
        if state.bootstrapper is None:
            prompt = ui("read", CONSENT_TITLE, timeout_ms=120000)
            assert f"首次使用需要安装 .NET {RUNTIME_MAJOR} 桌面运行环境" in prompt.texts
            ui("click", CONSENT_TITLE, DECLINE)
            assert wait_exit(process) == 0
            assert records(record) == []
        else:
            assert ends_by_itself(process) == 0
            [launch] = wait_for_records(record, 1)
            assert served_by(launch, judge_roots) == state.bootstrapper
            if state.direct is not None:
                assert served_by(launch, judge_roots) == served_by(direct, judge_roots)
            handed = launch["environment"]
            assert handed["DOTNET_ROOT_X64"] == handed["DOTNET_ROOT"]
            assert same_path(handed["DOTNET_ROOT"]) == same_path(judge_roots[state.bootstrapper])
            assert handed["CORVANE_BOOTSTRAP_PATH"] == windows_path(BOOTSTRAPPER)


def readme_section(heading):
    readme = (SOURCE_DIR / "README.md").read_text(encoding="utf-8")
    start_at = readme.index(f"## {heading}")
    end = readme.find("\n## ", start_at + 1)
    return readme[start_at:end]


def code_block(text, language):
    return re.search(rf"```{language}\n(.*?)```", text, re.S).group(1)


def test_the_app_is_built_as_the_readme_tells_app_teams():
    section = readme_section("For the app's team")

    # Every line the README gives for the project file is in the test app's project file.
    told = dict(re.findall(r"<(\w+)>([^<]*)</\1>", code_block(section, "xml")))
    assert told
    project = ElementTree.parse(APP_PROJECT / "Corvane.App.csproj").getroot()
    held = {element.tag: element.text for group in project.iter("PropertyGroup") for element in group}
    assert {name: held.get(name) for name in told} == told
    # ...and WPF's own Main is replaced by the class below, as the README says.
    assert held["StartupObject"] == "Program"

    # The runtime configuration the build writes is the one the README shows.
    path = re.search(r"`(bin/Release/\S+?)<App>(\.runtimeconfig\.json)`", section)
    written = json.loads((APP_BUILD / (path.group(1) + "Corvane.App" + path.group(2))).read_text())
    shown = json.loads("{" + code_block(section, "json") + "}")
    assert {name: written["runtimeOptions"][name] for name in shown} == shown

    # The probe branch and the start are the README's own lines.
    assert code_block(section, "csharp") in (APP_PROJECT / "Program.cs").read_text(encoding="utf-8")

    # `dotnet publish -c Release` writes the one .exe and nothing it needs beside it.
    published = {p.name for p in DOTNET_APP.parent.iterdir()}
    assert published - {"Corvane.App.pdb"} == {"Corvane.App.exe"}


def test_the_payload_guard_takes_the_published_app_and_refuses_its_plain_app_host(tmp_path):
    assert check(DOTNET_APP) == ""
    accepted = configure(tmp_path / "build", DOTNET_APP)
    assert accepted.returncode == 0, accepted.stderr
    # The build's own app host beside the app's .dll, before publishing bundles them into one file.
    assert check(BUILD_OUTPUT / "Corvane.App.exe") == (
        "payload Corvane.App.exe is a .NET app host without its app (not a single-file bundle; it would look "
        "for its .dll beside it): " + FIX)
