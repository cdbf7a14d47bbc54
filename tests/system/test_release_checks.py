"""A release file that went through other hands: taken in after it was signed elsewhere (scripts/release
--adopt-signed), and checked by anyone against the tree it claims to come from (scripts/verify-release).
Each is that very build plus an Authenticode signature and nothing else, or it is refused in one line that
says what differs."""
import json
import shutil
import subprocess

import pefile

import pki
from conftest import PKI_DIR, RELEASE_EXE, SOURCE_DIR, TOOLS_DIR, run_release
from test_release import BOM, SHIPPED, sha256, valid_cyclonedx
from test_release_token import snapshot, unsigned_copy

VERIFY = SOURCE_DIR / "scripts" / "verify-release"
DEMO_APP = TOOLS_DIR / "Corvane.App.exe"


def sign(source, target, *options, signer="company", with_root=True):
    """Signs a file as a company's signing machine would, outside the release command."""
    chain = target.parent / f"{signer}-chain.pem"
    chain.write_bytes((PKI_DIR / f"{signer}.crt").read_bytes()
                      + ((PKI_DIR / "root.crt").read_bytes() if with_root else b""))
    target.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "sign", *options, "-certs", str(chain), "-key", str(PKI_DIR / f"{signer}.key"),
                    "-h", "sha256", "-n", "Corvane Lite", "-in", str(source), "-out", str(target)],
                   check=True, capture_output=True)
    return target


def test_a_file_signed_elsewhere_from_this_build_is_taken_in_with_its_papers(releases, tmp_path):
    directory = unsigned_copy(releases, tmp_path / "release")
    signed = sign(directory / RELEASE_EXE, tmp_path / "from-the-signing-service.exe")
    result = run_release(directory, "--adopt-signed", signed)
    assert result.returncode == 0, result.stderr
    assert f"Signed:  Authenticode, signed elsewhere (taken in from {signed})\n" in result.stdout
    assert (directory / RELEASE_EXE).read_bytes() == signed.read_bytes()
    sums = (directory / "SHA256SUMS").read_text().splitlines()
    assert sums == [f"{sha256(directory / file)}  {file}" for file in SHIPPED]
    bom = json.loads((directory / BOM).read_text(encoding="utf-8"))
    assert bom["metadata"]["component"]["hashes"] == [{"alg": "SHA-256", "content": sha256(signed)}]
    # osslsigncode of this machine did not sign it, so the bill does not say it did.
    assert all(t["name"] != "osslsigncode" for t in bom["metadata"]["tools"]["components"])
    assert valid_cyclonedx(directory / BOM)


def altered(signed, target):
    pki.alter(signed, target)
    return target


def appended(signed, target):
    target.write_bytes(signed.read_bytes() + bytes(range(16)))
    return target


def refusals(releases, tmp_path):
    """Files that are not this release's exe plus a signature alone, with what the refusal says of each."""
    exe = releases["unsigned"].exe
    signed = sign(exe, tmp_path / "signed.exe")
    return {
        "a byte changed after signing": (
            altered(signed, tmp_path / "changed.exe"),
            "changed bytes: changed.exe was changed after it was signed (its content no longer matches its own "
            "signature)"),
        "data after the signature": (
            appended(signed, tmp_path / "appended.exe"),
            "data beside the signature: 16 bytes follow the signature table of appended.exe"),
        "a second signature": (
            sign(signed, tmp_path / "nested.exe", "-nest"),
            "data beside the signature: nested.exe carries a second signature beside the first"),
    }


def test_a_file_that_is_not_this_build_plus_a_signature_is_refused_and_the_release_stays(releases, tmp_path):
    cases = {name: (path, f"release: --adopt-signed: {line}") for name, (path, line) in
             refusals(releases, tmp_path).items()}
    unsigned = shutil.copy(releases["unsigned"].exe, tmp_path / "unsigned.exe")
    cases["unsigned"] = (unsigned, "release: --adopt-signed: unsigned: unsigned.exe carries no Authenticode signature")
    other = shutil.copy(PKI_DIR.parent / "signing" / "company.exe", tmp_path / "demo-app.exe")
    cases["another build"] = (other, "release: --adopt-signed: another build: demo-app.exe embeds no app; this "
                                     f"release's app has SHA-256 {sha256(DEMO_APP)}")
    # Signed without its root, by a root this machine does not know either.
    orphan = sign(releases["unsigned"].exe, tmp_path / "orphan.exe", signer="company-untrusted", with_root=False)
    cases["a chain that leads nowhere"] = (
        orphan, "release: --adopt-signed: the signature of orphan.exe does not verify against its own certificate "
                "chain: unable to get local issuer certificate")

    for name, (candidate, line) in cases.items():
        directory = unsigned_copy(releases, tmp_path / name.replace(" ", "-"))
        before = snapshot(directory)
        result = run_release(directory, "--adopt-signed", candidate)
        assert result.returncode == 2, (name, result.stdout, result.stderr)
        assert result.stderr.splitlines() == [line], name
        assert snapshot(directory) == before, name


def verify(published, *options):
    result = subprocess.run([str(VERIFY), str(published), *map(str, options)], cwd="/", stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=1200)
    return result.returncode, result.stdout.splitlines()


def test_verify_release_accepts_the_published_release_of_this_tree(releases):
    exe = releases["signed"].exe
    status, lines = verify(exe)
    assert status == 0, lines
    # The bill of materials beside it names the same toolchain as this machine's.
    assert lines[:2] == [f"Toolchain against {releases['signed'].directory / BOM}:",
                         "  the same 7 Debian packages as the published bill of materials"]
    assert lines[-1] == f"verify-release: {exe}: the same build as this tree's, with a signature and nothing else"


def test_verify_release_refuses_a_signature_with_something_beside_it_before_it_builds(releases, tmp_path):
    for name, (published, line) in refusals(releases, tmp_path).items():
        status, lines = verify(published)
        assert (status, lines) == (1, [f"verify-release: {published}: {line}"]), name


def test_verify_release_names_another_payload_and_another_setting(releases):
    exe = releases["signed"].exe
    status, lines = verify(exe, "--payload", TOOLS_DIR / "corvane-test-app.exe")
    assert status == 1
    assert lines[-1] == (f"verify-release: {exe}: another payload: {RELEASE_EXE} embeds an app with SHA-256 "
                         f"{sha256(DEMO_APP)}; this build's app has SHA-256 {sha256(TOOLS_DIR / 'corvane-test-app.exe')}"
                         " (give the app it was built with: --payload)")
    status, lines = verify(exe, "-DCORVANE_DOWNLOAD_HOST=mirror.example.com")
    assert status == 1
    assert lines[-1] == (f"verify-release: {exe}: another setting: {RELEASE_EXE} was not built with "
                         "CORVANE_DOWNLOAD_HOST=mirror.example.com (give the setting it was built with: -DNAME=VALUE)")


def test_verify_release_names_changed_bytes_and_the_toolchain_that_differs(releases, tmp_path):
    # Someone changed one byte of the code's padding and signed the result: a sound signature over a file
    # this tree does not build. Its bill of materials says another binutils built it.
    changed = tmp_path / "changed-unsigned.exe"
    pki.alter(releases["unsigned"].exe, changed)
    published = sign(changed, tmp_path / RELEASE_EXE)
    offset = pki.padding_offset(changed.read_bytes())
    section = next(s.Name.rstrip(b"\0").decode() for s in pefile.PE(str(changed)).sections
                   if s.PointerToRawData <= offset < s.PointerToRawData + s.SizeOfRawData)
    bom = json.loads((releases["signed"].directory / BOM).read_text(encoding="utf-8"))
    binutils = next(t for t in bom["metadata"]["tools"]["components"] if t["name"] == "binutils-mingw-w64-x86-64")
    here = binutils["version"]
    binutils["version"] = "2.39-1"
    binutils["purl"] = binutils["purl"].replace(here.replace("+", "%2B"), "2.39-1")
    (tmp_path / BOM).write_text(json.dumps(bom), encoding="utf-8")

    status, lines = verify(published)
    assert status == 1
    assert lines[:2] == [f"Toolchain against {tmp_path / BOM}:",
                         f"  binutils-mingw-w64-x86-64 2.39-1 built the published file; this machine has {here}"]
    assert lines[-1] == (f"verify-release: {published}: changed bytes: {RELEASE_EXE} is not this build (1 byte differs, "
                         f"the first at offset {offset:#x} (section {section})); this machine's toolchain differs from "
                         "the one that built it (see above)")
