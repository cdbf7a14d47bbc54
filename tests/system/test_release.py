"""The release command: the stripped bootstrapper that ships, byte for byte the same from every build of one
tree, with its debug information in a file beside it, and signed with Authenticode when given a key."""
import hashlib
import re
import shutil
import subprocess

import pefile

from conftest import (BOOTSTRAPPER, PKI_DIR, RELEASE_EXE, TOOLS_DIR, make_release, run, start, ui, wait_exit,
                      windows_path, wine_env)

TRUST_CHECK = TOOLS_DIR / "trust-check.exe"
DEMO_APP_TITLE = "Corvane 截图工具（演示）"


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def header_fields_cleared(image: bytes):
    """The image with the two header fields that signing rewrites set to zero: the checksum and the
    certificate-table entry. Returns it with the file offset where a certificate table starts (or None)."""
    pe = pefile.PE(data=image, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    table = security.VirtualAddress or None
    cleared = bytearray(image)
    checksum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    cleared[checksum:checksum + 4] = bytes(4)
    entry = security.get_file_offset()
    cleared[entry:entry + 8] = bytes(8)
    pe.close()
    return bytes(cleared), table


def test_two_release_builds_are_byte_identical_and_signing_only_adds_the_signature(releases):
    unsigned, signed = releases["unsigned"], releases["signed"]
    assert unsigned.debug.read_bytes() == signed.debug.read_bytes()

    plain, no_table = header_fields_cleared(unsigned.exe.read_bytes())
    assert no_table is None
    with_signature, table = header_fields_cleared(signed.exe.read_bytes())
    assert table is not None
    before_signature = with_signature[:table]
    # The signature starts on an eight-byte boundary; the image is padded with zeros up to it.
    assert before_signature[:len(plain)] == plain
    assert before_signature[len(plain):] == bytes(len(before_signature) - len(plain))

    # The tests' own bootstrapper, built in yet another directory, is the very file that ships.
    assert BOOTSTRAPPER.read_bytes() == unsigned.exe.read_bytes()


def test_release_prints_its_file_size_and_digest_and_writes_the_sums(releases):
    for name, release in releases.items():
        digest = sha256(release.exe)
        assert f"Release: {release.exe}\n" in release.output, name
        assert f"Size:    {release.exe.stat().st_size} bytes\n" in release.output, name
        assert f"SHA-256: {digest}\n" in release.output, name
        sums = (release.directory / "SHA256SUMS").read_text().splitlines()
        assert sums == [f"{digest}  {RELEASE_EXE}", f"{sha256(release.debug)}  {RELEASE_EXE}.debug"], name
    assert "UNSIGNED" in releases["unsigned"].output
    assert "Signed:  Authenticode, SHA-256\n" in releases["signed"].output
    assert "UNSIGNED" not in releases["signed"].output


def test_debug_file_resolves_a_crash_address_to_its_source_line(releases):
    debug = releases["unsigned"].debug
    symbols = subprocess.run(["x86_64-w64-mingw32-nm", str(debug)], capture_output=True, text=True, check=True)
    address = next(line.split()[0] for line in symbols.stdout.splitlines() if line.endswith(" T wWinMain"))
    where = subprocess.run(["x86_64-w64-mingw32-addr2line", "-e", str(debug), "0x" + address],
                           capture_output=True, text=True, check=True).stdout.strip()
    # Recorded under the fixed root the build maps the tree to, whatever directory it was built in.
    assert re.fullmatch(r"/corvane-lite/src/bootstrap/Main\.cpp:\d+", where), where


def trust(path):
    result = run(TRUST_CHECK, windows_path(path))
    return result.returncode, result.stdout.decode().strip()


def test_windows_trusts_a_release_signed_with_the_company_key_and_no_other(releases, tmp_path):
    # The same release signed afterwards, on another machine as it were, with a key whose root the
    # prefix does not trust; the root travels with the signature, so it is refused for its trust.
    elsewhere = tmp_path / "signed-elsewhere"
    elsewhere.mkdir()
    shutil.copy(releases["unsigned"].exe, elsewhere)
    shutil.copy(releases["unsigned"].debug, elsewhere)
    chain = tmp_path / "chain.pem"
    chain.write_bytes((PKI_DIR / "company-untrusted.crt").read_bytes() + (PKI_DIR / "untrusted-root.crt").read_bytes())
    untrusted = make_release(elsewhere, "--sign-only", "--cert", chain, "--key", PKI_DIR / "company-untrusted.key")

    cases = {
        "company key": (releases["signed"].exe, (0, "0x00000000")),
        "untrusted key": (untrusted.exe, (1, "0x800B0109")),  # CERT_E_UNTRUSTEDROOT
        "unsigned": (releases["unsigned"].exe, (1, "0x800B0100")),  # TRUST_E_NOSIGNATURE
    }
    for name, (exe, expected) in cases.items():
        assert trust(exe) == expected, name


def test_signed_release_starts_its_app(releases, tmp_path, data_root):
    root = tmp_path / "dotnet"
    for framework in ("Microsoft.NETCore.App", "Microsoft.WindowsDesktop.App"):
        (root / "shared" / framework).mkdir(parents=True)
    exe = releases["signed"].exe
    process = start(exe, env=wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(root)))
    try:
        assert wait_exit(process) == 0
        window = ui("read", DEMO_APP_TITLE)
        shown = next(child["text"] for child in window.children if child["class"].lower() == "edit")
        assert f'CORVANE_BOOTSTRAP_PATH: "{windows_path(exe)}"' in shown
    finally:
        ui("close", DEMO_APP_TITLE, check=False, timeout_ms=2000)
