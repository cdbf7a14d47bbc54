"""An exe whose import section is read-only, as binutils 2.44 and later link it: the first call into each
delay-loaded DLL binds its slot there, which faulted on the launch road (the payload's digest, bcrypt) and
would on every DLL of the install road (the dialogs, the download, the signature check). The build under
test is the install build with only the section's write bit cleared (tests/install-builds)."""
import pefile

from conftest import BUILD_DIR, wait_exit, wait_until
from test_install_road import SIGNED_INSTALLER, Road, consent, requests_seen, set_scenario, staged_command_line
from test_runtime_launch import make_root

READ_ONLY_IMPORTS_BOOTSTRAPPER = BUILD_DIR / "Corvane_Install_ReadOnlyImports_Lite.exe"
IMAGE_SCN_MEM_WRITE = 0x80000000


def test_the_build_under_test_has_its_import_section_read_only():
    image = pefile.PE(str(READ_ONLY_IMPORTS_BOOTSTRAPPER), fast_load=True)
    idata = [s for s in image.sections if s.Name.rstrip(b"\0") == b".idata"]
    assert len(idata) == 1
    assert not idata[0].Characteristics & IMAGE_SCN_MEM_WRITE


def test_launch_road_with_read_only_imports(tmp_path):
    road = Road(tmp_path)
    make_root(road.runtime_root)
    process = road.start(READ_ONLY_IMPORTS_BOOTSTRAPPER)

    assert wait_exit(process) == 0
    assert wait_until(lambda: len(road.launches()) == 1)
    assert road.installer_runs() == []


def test_install_road_with_read_only_imports(tmp_path):
    set_scenario({"file": str(SIGNED_INSTALLER)})
    road = Road(tmp_path)
    process = consent(road.start(READ_ONLY_IMPORTS_BOOTSTRAPPER))

    assert wait_exit(process) == 0
    runs = road.installer_runs()
    assert len(runs) == 1
    assert staged_command_line(road).match(runs[0]), runs[0]
    assert len(requests_seen()) == 1
    assert wait_until(lambda: len(road.launches()) == 1)
    assert road.staged_files() == []
