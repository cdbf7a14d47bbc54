"""A release file that went through other hands: taken in after it was signed elsewhere (scripts/release
--adopt-signed), and checked by anyone against the tree it claims to come from (scripts/verify-release).
Each is that very build plus one Authenticode signature and nothing else, valid under a root the checker
trusts and made by the organization it expects, or it is refused in one line that says what differs."""
import json
import shutil
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pefile

import pki
from conftest import PKI_DIR, RELEASE_EXE, SOURCE_DIR, TOOLS_DIR, run_release
from test_release import BOM, SHIPPED, sha256, valid_cyclonedx
from test_release_token import snapshot, unsigned_copy

sys.path.insert(0, str(SOURCE_DIR / "scripts"))
import der  # noqa: E402  (only to find where the parts of a signature lie, for damaging them)

VERIFY = SOURCE_DIR / "scripts" / "verify-release"
DEMO_APP = TOOLS_DIR / "Corvane.App.exe"
COMPANY = "Corvane Test Company"
ROOT = PKI_DIR / "root.crt"
# The organization the test company signs as, and the test root as the only trust anchor.
TRUST = ("--expect-signer", COMPANY, "--ca", ROOT)


def sign(source, target, *options, signer="company", with_root=True, certificate=None, key=None, digest="sha256",
         extra=b""):
    """Signs a file as a company's signing machine would, outside the release command."""
    chain = target.parent / f"{target.stem}-chain.pem"
    chain.write_bytes((certificate or PKI_DIR / f"{signer}.crt").read_bytes()
                      + ((PKI_DIR / "root.crt").read_bytes() if with_root else b"") + extra)
    target.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "sign", *options, "-certs", str(chain),
                    "-key", str(key or PKI_DIR / f"{signer}.key"), "-h", digest, "-n", "Corvane Lite",
                    "-in", str(source), "-out", str(target)], check=True, capture_output=True)
    return target


def signature_at(data):
    """The certificate table's offset and the SignedData inside it, read with the release checks' DER reader."""
    pe = pefile.PE(data=bytes(data), fast_load=True)
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].VirtualAddress
    pe.close()
    content_info = der.read(data, table + 8)
    return table, content_info.children()[1].children()[0]


def damaged(signed, target, change):
    data = bytearray(signed.read_bytes())
    change(data, signature_at(data)[1])
    target.write_bytes(bytes(data))
    return target


def zero_signature_value(data, signed_data):
    signer = signed_data.children()[-1].children()[0]
    value = [field for field in signer.children() if field.tag == der.OCTET_STRING][-1]
    data[value.start:value.end] = bytes(value.end - value.start)


def malformed_certificate(data, signed_data):
    # The first certificate of the bag with its serial number's INTEGER tag turned into an OCTET STRING's.
    bag = next(part for part in signed_data.children() if part.tag == 0xA0)
    serial = bag.children()[0].children()[0].children()[1]
    data[serial.at] = der.OCTET_STRING


def padded(signed, target, count=8):
    """Zeros after the signature inside its certificate-table entry, the entry and the table grown to hold them."""
    data = bytearray(signed.read_bytes())
    pe = pefile.PE(data=bytes(data), fast_load=True)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry, table, size = directory.get_file_offset(), directory.VirtualAddress, directory.Size
    pe.close()
    data[entry + 4:entry + 8] = (size + count).to_bytes(4, "little")
    length = int.from_bytes(data[table:table + 4], "little")
    data[table:table + 4] = (length + count).to_bytes(4, "little")
    target.write_bytes(bytes(data) + bytes(count))
    return target


def with_blob(signed, target):
    target.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "add", "-addUnauthenticatedBlob", "-in", str(signed), "-out", str(target)],
                   check=True, capture_output=True)
    return target


def certificate(tmp_path, name, organization, root="root", hours=24 * 365):
    """A fresh code-signing certificate and key, valid from an hour ago for `hours`, issued by a root of the
    test PKI or (root None) by itself."""
    now = datetime.now(timezone.utc)
    window = tuple(moment.strftime("%Y%m%d%H%M%SZ") for moment in (now - timedelta(hours=1), now + timedelta(hours=hours)))
    pki.issue(tmp_path, name, pki.subject(name, organization), root and str(PKI_DIR / root),
              ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature", "extendedKeyUsage=codeSigning"],
              "sha256", 0x4242, window=window)
    return tmp_path / f"{name}.crt", tmp_path / f"{name}.key"


def test_a_file_signed_elsewhere_from_this_build_is_taken_in_with_its_papers(releases, tmp_path):
    directory = unsigned_copy(releases, tmp_path / "release")
    signed = sign(directory / RELEASE_EXE, tmp_path / "from-the-signing-service.exe")
    result = run_release(directory, "--adopt-signed", signed, *TRUST)
    assert result.returncode == 0, result.stderr
    assert (f"Signed:  Authenticode, signed elsewhere (taken in from {signed})\n"
            "Signer:  CN=Corvane Test Signer company, O=Corvane Test Company\n"
            "Issuer:  CN=Corvane Test Root, O=Corvane Test\n") in result.stdout
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
    """Files that are not this release's exe plus one signature alone, valid under the test root and made by
    the test company, with what the refusal says of each. Each is refused before anything is built."""
    exe = releases["unsigned"].exe
    signed = sign(exe, tmp_path / "signed.exe")
    anyone = certificate(tmp_path, "Anyone at all", None, root=None)
    contoso = certificate(tmp_path, "Contoso signer", "Contoso Software Ltd")
    untrusted_chain = "CN=Corvane Test Signer company-untrusted, O=Corvane Test Company"
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
        "an unauthenticated blob": (
            with_blob(signed, tmp_path / "blob.exe"),
            "data beside the signature: blob.exe carries an unauthenticated attribute (1.3.6.1.4.1.42921.1.2.1) "
            "that is not a time stamp"),
        "zeros after the signature inside its entry": (
            padded(signed, tmp_path / "padded.exe"),
            "data beside the signature: padded.exe carries 8 bytes after the signature inside its table, beyond "
            "the eight-byte alignment"),
        "a certificate beyond the chain": (
            sign(exe, tmp_path / "extra-certificate.exe", extra=(PKI_DIR / "untrusted-root.crt").read_bytes()),
            "data beside the signature: extra-certificate.exe carries 1 certificate beyond its signer's chain "
            "(CN=Corvane Untrusted Root, O=Corvane Test)"),
        "a SHA-1 signature": (
            sign(exe, tmp_path / "sha1.exe", digest="sha1"),
            "a SHA-1 signature: sha1.exe is signed with SHA-1; a release takes SHA-256 or stronger"),
        "a malformed certificate": (
            damaged(signed, tmp_path / "malformed-certificate.exe", malformed_certificate),
            "the signature of malformed-certificate.exe is damaged (a certificate's serial number has tag 0x04, "
            "not 0x02)"),
        "a zeroed signature value": (
            damaged(signed, tmp_path / "zeroed.exe", zero_signature_value),
            "the signature does not verify: zeroed.exe is signed by \"CN=Corvane Test Signer company, "
            f"O=Corvane Test Company\", issued by \"CN=Corvane Test Root, O=Corvane Test\", and under the CA "
            f"certificates in {ROOT} osslsigncode says: signature failure (PKCS7_verify)"),
        "a self-signed key of anyone": (
            sign(exe, tmp_path / "anyone.exe", certificate=anyone[0], key=anyone[1], with_root=False),
            "the signature does not verify: anyone.exe is signed by \"CN=Anyone at all\", issued by "
            f"\"CN=Anyone at all\", and under the CA certificates in {ROOT} osslsigncode says: "
            "self-signed certificate"),
        "the company's name under a root it carries itself": (
            own_root_signed(exe, tmp_path / "own-root.exe"),
            f"the signature does not verify: own-root.exe is signed by \"{untrusted_chain}\", issued by "
            f"\"CN=Corvane Untrusted Root, O=Corvane Test\", and under the CA certificates in {ROOT} osslsigncode "
            "says: self-signed certificate in certificate chain"),
        "another organization under the trusted root": (
            sign(exe, tmp_path / "contoso.exe", certificate=contoso[0], key=contoso[1]),
            "another signer: contoso.exe is signed by \"CN=Contoso signer, O=Contoso Software Ltd\", which names "
            "the organization \"Contoso Software Ltd\", not \"Corvane Test Company\""),
        "a look-alike organization": (
            sign(exe, tmp_path / "long-s.exe", signer="long-s"),
            "another signer: long-s.exe is signed by \"CN=Corvane Test Signer long-s, O=Micro\u017Foft Corporation\", "
            "which names the organization \"Micro\u017Foft Corporation\", not \"Corvane Test Company\""),
    }


def own_root_signed(exe, target):
    """Signed by the company's name under the untrusted root, which travels with the signature."""
    chain_end = (PKI_DIR / "untrusted-root.crt").read_bytes()
    return sign(exe, target, signer="company-untrusted", with_root=False, extra=chain_end)


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
        orphan, "release: --adopt-signed: the signature does not verify: orphan.exe is signed by \"CN=Corvane Test "
                "Signer company-untrusted, O=Corvane Test Company\", issued by \"CN=Corvane Untrusted Root, "
                f"O=Corvane Test\", and under the CA certificates in {ROOT} osslsigncode says: unable to get local "
                "issuer certificate")

    for name, (candidate, line) in cases.items():
        directory = unsigned_copy(releases, tmp_path / name.replace(" ", "-"))
        before = snapshot(directory)
        result = run_release(directory, "--adopt-signed", candidate, *TRUST)
        assert result.returncode == 2, (name, result.stdout, result.stderr)
        assert result.stderr.splitlines() == [line], name
        assert snapshot(directory) == before, name


def test_adoption_pins_the_organization_and_the_root_not_the_leaf(releases, tmp_path):
    exe = releases["unsigned"].exe
    # A certificate of a day, as a signing service issues for each job: another key, the same organization
    # under the same root, and the same organization compared as the bootstrapper compares it.
    short_lived = certificate(tmp_path, "Signing service job 4711", COMPANY, hours=24)
    fresh = sign(exe, tmp_path / "short-lived.exe", certificate=short_lived[0], key=short_lived[1])
    directory = unsigned_copy(releases, tmp_path / "short-lived")
    result = run_release(directory, "--adopt-signed", fresh, "--expect-signer", COMPANY.upper(), "--ca", ROOT)
    assert result.returncode == 0, result.stderr
    assert ("Signer:  CN=Signing service job 4711, O=Corvane Test Company\n"
            "Issuer:  CN=Corvane Test Root, O=Corvane Test\n") in result.stdout
    assert (directory / RELEASE_EXE).read_bytes() == fresh.read_bytes()

    # Without --ca the machine's own CA certificates are the anchors, and they do not hold the test root.
    directory = unsigned_copy(releases, tmp_path / "machine-roots")
    before = snapshot(directory)
    result = run_release(directory, "--adopt-signed", fresh, "--expect-signer", COMPANY)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        "release: --adopt-signed: the signature does not verify: short-lived.exe is signed by \"CN=Signing service job "
        "4711, O=Corvane Test Company\", issued by \"CN=Corvane Test Root, O=Corvane Test\", and under this "
        "machine's CA certificates osslsigncode says: self-signed certificate in certificate chain"]
    assert snapshot(directory) == before

    # Adoption names its signer or does nothing.
    result = run_release(directory, "--adopt-signed", fresh, "--ca", ROOT)
    assert (result.returncode, result.stderr.splitlines()) == (2, [
        "release: --adopt-signed needs --expect-signer ORG: the organization (O=) of the certificate the file must "
        "be signed with"])
    assert snapshot(directory) == before


def verify(published, *options):
    result = subprocess.run([str(VERIFY), str(published), *map(str, options)], cwd="/", stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=1200)
    return result.returncode, result.stdout.splitlines()


def test_verify_release_accepts_the_published_release_of_this_tree(releases):
    exe = releases["signed"].exe
    status, lines = verify(exe, *TRUST)
    assert status == 0, lines
    # Who signed it, then whether the bill of materials beside it names the same toolchain as this machine's.
    assert lines[:4] == ["Signer:  CN=Corvane Test Signer company, O=Corvane Test Company",
                         "Issuer:  CN=Corvane Test Root, O=Corvane Test",
                         f"Toolchain against {releases['signed'].directory / BOM}:",
                         "  the same 7 Debian packages as the published bill of materials"]
    assert lines[-1] == (f"verify-release: {exe}: the same build as this tree's, with one signature and nothing else "
                         f"(checked: the bytes against the rebuild, the signature under the CA certificates in {ROOT}, "
                         "the signer's organization \"Corvane Test Company\")")

    # Against a release built before, the verdict says which part it left unchecked; an unsigned file is
    # judged by its bytes alone.
    rebuilt = releases["unsigned"].exe
    status, lines = verify(exe, "--ca", ROOT, "--rebuilt", rebuilt)
    assert status == 0, lines
    assert f"Comparing with {rebuilt}, built from this tree before" in lines
    assert lines[-1] == (f"verify-release: {exe}: the same build as this tree's, with one signature and nothing else "
                         f"(checked: the bytes against the rebuild, the signature under the CA certificates in {ROOT}; "
                         "not the signer's organization (give --expect-signer ORG))")
    status, lines = verify(rebuilt, "--rebuilt", rebuilt)
    assert (status, lines[-1]) == (0, f"verify-release: {rebuilt}: the same build as this tree's, unsigned (checked: "
                                      "the bytes against the rebuild)")


def test_verify_release_refuses_a_signature_that_is_not_one_valid_signature_alone_before_it_builds(releases, tmp_path):
    for name, (published, line) in refusals(releases, tmp_path).items():
        status, lines = verify(published, *TRUST)
        assert (status, lines) == (1, [f"verify-release: {published}: {line}"]), name
    # Under the machine's own CA certificates the test root is no anchor.
    status, lines = verify(releases["signed"].exe)
    assert status == 1
    assert lines == [f"verify-release: {releases['signed'].exe}: the signature does not verify: {RELEASE_EXE} is signed "
                     "by \"CN=Corvane Test Signer company, O=Corvane Test Company\", issued by \"CN=Corvane Test Root, "
                     "O=Corvane Test\", and under this machine's CA certificates osslsigncode says: self-signed "
                     "certificate in certificate chain"]


def test_verify_release_names_another_payload_and_another_setting(releases):
    exe = releases["signed"].exe
    status, lines = verify(exe, "--payload", TOOLS_DIR / "corvane-test-app.exe", "--ca", ROOT)
    assert status == 1
    assert lines[-1] == (f"verify-release: {exe}: another payload: {RELEASE_EXE} embeds an app with SHA-256 "
                         f"{sha256(DEMO_APP)}; this build's app has SHA-256 {sha256(TOOLS_DIR / 'corvane-test-app.exe')}"
                         " (give the app it was built with: --payload)")
    status, lines = verify(exe, "-DCORVANE_DOWNLOAD_HOST=mirror.example.com", "--ca", ROOT)
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

    status, lines = verify(published, "--ca", ROOT)
    assert status == 1
    assert lines[2:4] == [f"Toolchain against {tmp_path / BOM}:",
                         f"  binutils-mingw-w64-x86-64 2.39-1 built the published file; this machine has {here}"]
    assert lines[-1] == (f"verify-release: {published}: changed bytes: {RELEASE_EXE} is not this build (1 byte differs, "
                         f"the first at offset {offset:#x} (section {section})); this machine's toolchain differs from "
                         "the one that built it (see above)")
