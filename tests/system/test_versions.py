"""The versions are build settings: a release made with another bootstrapper version and another runtime
version carries them in every place they show (the exe's name and version record, its cache directory, its
user agent, the installer's path, the texts naming the runtime and the bill of materials); a runtime version
without its own installer digest is refused when configuring. `scripts/release --check-installer` holds
the installer the build accepts to its digest and Microsoft's signature before anything is built.

The release here embeds the recording test app and downloads from the local HTTPS server; one release
build serves the version bump, the accepting installer check and the install road."""
import hashlib
import json
import subprocess

import pefile
import pytest
import server_control
from server_control import requests_seen

from conftest import PKI_DIR, SOURCE_DIR, run_release, ui, wait_exit, wait_until, windows_path
from test_install_road import OTHER_SIGNER_INSTALLER, SIGNED_INSTALLER, UNSIGNED_INSTALLER, Road, consent
from test_runtime_launch import TEST_APP
from texts import CONSENT_TITLE, DOWNLOAD_TITLE

# Neither is the build's own: a bootstrapper version and a runtime of another major.
BUMPED_VERSION = "2.14.0"
BUMPED_RUNTIME = "10.0.15"
BUMPED_PATH = f"/dotnet/WindowsDesktop/{BUMPED_RUNTIME}/windowsdesktop-runtime-{BUMPED_RUNTIME}-win-x64.exe"
TEST_ROOT = PKI_DIR / "root.crt"


def sha512(path):
    return hashlib.sha512(path.read_bytes()).hexdigest()


def configure(build, *settings):
    return subprocess.run(["cmake", "--preset", "release", "-B", str(build), "-DCORVANE_BUILD_TESTS=OFF", *settings],
                          cwd=SOURCE_DIR, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)


def words(text):
    # CMake indents and wraps the message of a failed configuration; the words are what counts.
    return " ".join(text.split())


def test_another_runtime_needs_its_own_digest_when_configuring(tmp_path):
    needs_own = (f"CORVANE_RUNTIME_VERSION={BUMPED_RUNTIME} needs its own CORVANE_INSTALLER_SHA512: the SHA-512 of "
                 f"windowsdesktop-runtime-{BUMPED_RUNTIME}-win-x64.exe that Microsoft publishes")
    refused = configure(tmp_path / "no-digest", f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}")
    assert refused.returncode != 0
    assert needs_own in words(refused.stdout + refused.stderr)

    default_digest = configure(tmp_path / "default")
    assert default_digest.returncode == 0, default_digest.stderr
    constants = dict(line.split("=", 1) for line in (tmp_path / "default" / "corvane-release.env").read_text().split())
    # The default version's digest handed to another version is the same mistake, given explicitly.
    paired = configure(tmp_path / "paired", f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}",
                       f"-DCORVANE_INSTALLER_SHA512={constants['CORVANE_INSTALLER_SHA512']}")
    assert paired.returncode != 0
    assert (f"CORVANE_RUNTIME_VERSION={BUMPED_RUNTIME} needs its own CORVANE_INSTALLER_SHA512: the one given is that "
            f"of {constants['CORVANE_RUNTIME_VERSION']}'s installer") in words(paired.stdout + paired.stderr)

    upper_case = configure(tmp_path / "upper", f"-DCORVANE_INSTALLER_SHA512={'AB' * 64}")
    assert upper_case.returncode != 0
    assert (f"CORVANE_INSTALLER_SHA512={'AB' * 64} is not a SHA-512: give its 128 hexadecimal digits in lower case"
            in words(upper_case.stdout + upper_case.stderr))

    not_a_version = configure(tmp_path / "word", "-DCORVANE_VERSION=latest")
    assert not_a_version.returncode != 0
    assert "CORVANE_VERSION=latest is not a version: give three numbers, as 1.2.3" in words(
        not_a_version.stdout + not_a_version.stderr)


def refusal(tmp_path, result):
    """The lines of a refused check, after making sure nothing was built."""
    assert result.returncode == 2, result.stdout + result.stderr
    assert not (tmp_path / "build").exists()
    assert list(tmp_path.glob("*.exe")) == []
    return result.stderr.splitlines()


def another_digest_line():
    return (f"release: --check-installer: the installer's SHA-512 is {sha512(UNSIGNED_INSTALLER)}, not the build's "
            f"{sha512(SIGNED_INSTALLER)} (CORVANE_INSTALLER_SHA512 for {BUMPED_RUNTIME})")


def test_check_installer_refuses_a_copy_with_another_digest(tmp_path):
    """The build expects the signed installer's digest; the copy downloaded by hand is another file."""
    result = run_release(tmp_path, "--check-installer", UNSIGNED_INSTALLER, "--trust-root", TEST_ROOT,
                         f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}",
                         f"-DCORVANE_INSTALLER_SHA512={sha512(SIGNED_INSTALLER)}")
    assert refusal(tmp_path, result) == [another_digest_line()]


@pytest.mark.parametrize("installer, line", [
    (UNSIGNED_INSTALLER, "the installer carries no Authenticode signature"),
    (OTHER_SIGNER_INSTALLER, "the installer is signed by 'Contoso Software Ltd', not by Microsoft Corporation"),
])
def test_check_installer_refuses_a_file_without_microsofts_signature(tmp_path, installer, line):
    """The digest matches (the build is made for exactly this file), so the signature decides."""
    result = run_release(tmp_path, "--check-installer", installer, "--trust-root", TEST_ROOT,
                         f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}", f"-DCORVANE_INSTALLER_SHA512={sha512(installer)}")
    assert refusal(tmp_path, result) == [f"release: --check-installer: {line}"]


def test_check_installer_refuses_a_signature_under_a_root_nobody_trusts(tmp_path):
    """Without the test root as an extra anchor the signed test installer chains to nothing this machine
    trusts, as a file signed by anyone but Microsoft would."""
    result = run_release(tmp_path, "--check-installer", SIGNED_INSTALLER, f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}",
                         f"-DCORVANE_INSTALLER_SHA512={sha512(SIGNED_INSTALLER)}")
    [line] = refusal(tmp_path, result)
    assert line.startswith("release: --check-installer: the installer's signature does not chain to a root this "
                           "machine trusts: "), line


def test_check_installer_refuses_a_download_with_another_digest(tmp_path):
    """Downloaded from the configured host, as the exe would: the mirror serves another file."""
    assert server_control.set_scenario({BUMPED_PATH: {"file": str(UNSIGNED_INSTALLER)}})
    result = run_release(tmp_path, "--check-installer", "--trust-root", TEST_ROOT, "-DCORVANE_DOWNLOAD_HOST=localhost",
                         f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}",
                         f"-DCORVANE_INSTALLER_SHA512={sha512(SIGNED_INSTALLER)}")
    assert refusal(tmp_path, result) == [another_digest_line()]
    assert [r["path"] for r in requests_seen()] == [BUMPED_PATH]


@pytest.fixture(scope="module")
def bumped_release(tmp_path_factory):
    """One release with both versions bumped, checked against the mirror's installer before it was built."""
    directory = tmp_path_factory.mktemp("bumped-release")
    assert server_control.set_scenario({BUMPED_PATH: {"file": str(SIGNED_INSTALLER)}})
    result = run_release(directory, "--payload", TEST_APP, "--check-installer", "--trust-root", TEST_ROOT,
                         f"-DCORVANE_VERSION={BUMPED_VERSION}", f"-DCORVANE_RUNTIME_VERSION={BUMPED_RUNTIME}",
                         f"-DCORVANE_INSTALLER_SHA512={sha512(SIGNED_INSTALLER)}", "-DCORVANE_DOWNLOAD_HOST=localhost")
    assert result.returncode == 0, (result.stdout + result.stderr)[-3000:]
    return directory, result.stdout


def test_bumped_release_names_its_versions_in_its_files(bumped_release):
    directory, output = bumped_release
    assert (f"Installer: https://localhost{BUMPED_PATH}: SHA-512 as the build's, signed by Microsoft Corporation "
            f"(Windows Desktop Runtime {BUMPED_RUNTIME})") in output.splitlines()
    exe = directory / f"Corvane_v{BUMPED_VERSION}_Lite.exe"
    assert exe.is_file()
    assert sorted(p.name for p in directory.glob("Corvane_v*")) == sorted([
        exe.name, exe.name + ".debug", f"Corvane_v{BUMPED_VERSION}_Lite.cdx.json"])

    pe = pefile.PE(str(exe))
    strings = {k.decode(): v.decode("utf-8") for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for k, v in table.entries.items()}
    assert (strings["FileVersion"], strings["ProductVersion"], strings["OriginalFilename"]) == (
        f"{BUMPED_VERSION}.0", BUMPED_VERSION, exe.name)
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (2 << 16 | 14, 0)

    bom = json.loads((directory / f"Corvane_v{BUMPED_VERSION}_Lite.cdx.json").read_text())
    assert (bom["metadata"]["component"]["name"], bom["metadata"]["component"]["version"]) == (exe.name, BUMPED_VERSION)
    installer = {c["bom-ref"]: c for c in bom["components"]}["runtime-installer"]
    assert installer["version"] == BUMPED_RUNTIME
    assert installer["externalReferences"] == [{"type": "distribution", "url": f"https://localhost{BUMPED_PATH}"}]
    assert installer["hashes"] == [{"alg": "SHA-512", "content": sha512(SIGNED_INSTALLER)}]


def test_bumped_release_installs_the_runtime_it_names(bumped_release, tmp_path):
    """The install road of the bumped exe: a prompt and a dialog naming .NET 10, the download from the
    10.0.15 path with the bumped user agent, the installer that digest accepts, and the app started from
    the bumped cache directory."""
    directory, _ = bumped_release
    exe = directory / f"Corvane_v{BUMPED_VERSION}_Lite.exe"
    # Held until the dialog has been read, so that it is still open.
    assert server_control.set_scenario({BUMPED_PATH: {"file": str(SIGNED_INSTALLER), "hold": True}})
    road = Road(tmp_path)
    process = road.start(exe)
    prompt = ui("read", CONSENT_TITLE)
    assert "首次使用需要安装 .NET 10 桌面运行环境" in prompt.texts
    assert any(text.startswith("这台电脑尚未具备运行截图工具所需的 .NET 10 Desktop Runtime（64 位）。")
               for text in prompt.texts), prompt.texts
    consent(process)
    dialog = ui("read", DOWNLOAD_TITLE)
    assert "正在准备 .NET 10 桌面运行环境" in dialog.texts
    assert server_control.release_held_answers()
    assert wait_exit(process) == 0

    [request] = requests_seen()
    assert (request["path"], request["user_agent"], request["host"]) == (
        BUMPED_PATH, f"Corvane-Lite/{BUMPED_VERSION}", "localhost")
    assert wait_until(lambda: len(road.launches()) == 1)
    digest16 = hashlib.sha256(TEST_APP.read_bytes()).hexdigest()[:16]
    cached = road.data_root / "lite-cache" / BUMPED_VERSION / digest16 / "Corvane.App.exe"
    assert road.launches()[0].command_line == '"' + windows_path(cached) + '"'
    assert road.staged_files() == []
