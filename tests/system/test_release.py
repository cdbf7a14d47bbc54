"""The release command: the stripped bootstrapper that ships, byte for byte the same from every build of one
tree, with its debug information in a file beside it, signed with Authenticode (and time-stamped) when
given a key, and the third-party notices and the bill of materials that travel with it."""
import contextlib
import hashlib
import json
import pathlib
import re
import shutil
import subprocess
from datetime import datetime, timezone

import jsonschema
import pefile

from conftest import (BOOTSTRAPPER, BUILD_DIR, CONSTANTS, PKI_DIR, RELEASE_EXE, RUNTIME_VERSION, SOURCE_DIR, TOOLS_DIR,
                      VERSION, make_release, run, start, ui, wait_exit, windows_path, wine_env)

TRUST_CHECK = TOOLS_DIR / "trust-check.exe"
DEMO_APP_TITLE = "Corvane 截图工具（演示）"
NOTICES = "THIRD_PARTY_NOTICES.txt"
BOM = RELEASE_EXE.removesuffix(".exe") + ".cdx.json"
SHIPPED = [RELEASE_EXE, RELEASE_EXE + ".debug", NOTICES, BOM]
INSTALLER_URL = ("https://builds.dotnet.microsoft.com/dotnet/WindowsDesktop/" + RUNTIME_VERSION +
                 "/windowsdesktop-runtime-" + RUNTIME_VERSION + "-win-x64.exe")
INSTALLER_SHA512 = CONSTANTS["CORVANE_INSTALLER_SHA512"]
# The packages of Debian's MinGW-w64 cross compiler whose code a static link puts into the exe, and a
# function of each that the exe really holds.
LINKED_SYMBOLS = {
    "libstdc++": "_ZSt9terminatev",
    "libgcc": "_Unwind_Resume",
    "mingw-w64-crt": "WinMainCRTStartup",
    "winpthreads": "pthread_create",
}
# component: (Debian package, its architecture, the licence of what the exe holds of it). The MinGW-w64
# expressions are the licences its copyright file gives the source files in LINKED_SOURCES; Debian's
# names without an SPDX identifier are written LicenseRef-<name>.
LINKED = {
    "libstdc++": ("g++-mingw-w64-x86-64-posix", "amd64", "GPL-3.0-or-later WITH GCC-exception-3.1"),
    "libgcc": ("gcc-mingw-w64-x86-64-posix", "amd64", "GPL-3.0-or-later WITH GCC-exception-3.1"),
    "mingw-w64-crt": ("mingw-w64-x86-64-dev", "all", "LicenseRef-David-Gay AND LicenseRef-Keith-Marshall AND "
                      "LicenseRef-Lucent AND LicenseRef-public-domain AND ZPL-2.1"),
    "winpthreads": ("mingw-w64-x86-64-dev", "all", "LicenseRef-public-domain AND MIT"),
}
# A source file of every licence the MinGW-w64 part of the exe is under, with a function it defines that
# the exe holds, and the Files: pattern and License: of the copyright file's paragraph that covers it
# (read off /usr/share/doc/mingw-w64-x86-64-dev/copyright).
LINKED_SOURCES = {
    "mingw-w64-crt/gdtoa/gdtoa.c": ("__gdtoa", "mingw-w64-crt/gdtoa/*", "Lucent"),
    "mingw-w64-crt/gdtoa/strtodnrp.c": ("__strtod", "mingw-w64-crt/gdtoa/strtodnrp.c", "David-Gay"),
    "mingw-w64-crt/stdio/mingw_pformat.c": ("__mingw_pformat", "mingw-w64-crt/stdio/mingw_pformat.*", "Keith-Marshall"),
    "mingw-w64-crt/crt/pseudo-reloc.c": ("_pei386_runtime_relocator", "mingw-w64-crt/crt/*", "public-domain"),
    "mingw-w64-crt/stdio/acrt_iob_func.c": ("__acrt_iob_func", "*", "ZPL-2.1"),
    "mingw-w64-libraries/winpthreads/src/thread.c": ("pthread_create", "mingw-w64-libraries/winpthreads/*", "expat"),
    "mingw-w64-libraries/winpthreads/src/nanosleep.c": ("nanosleep", "mingw-w64-libraries/winpthreads/src/nanosleep.c",
                                                        "public-domain"),
}
# The embedded demo app's version resource.
DEMO_APP_VERSION, DEMO_APP_COMPANY = "1.0.0", "Corvane"


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
        assert sums == [f"{sha256(release.directory / file)}  {file}" for file in SHIPPED], name
        assert f"Notices: {release.directory / NOTICES} (ship it with the exe)\n" in release.output, name
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
    for file in SHIPPED:
        shutil.copy(releases["unsigned"].directory / file, elsewhere)
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

    # Signed elsewhere, the papers follow the new bytes: the bill of materials gives the signed file's
    # digest, and so do the sums.
    assert bom_of(untrusted)["metadata"]["component"]["hashes"] == [{"alg": "SHA-256", "content": sha256(untrusted.exe)}]
    sums = (elsewhere / "SHA256SUMS").read_text().splitlines()
    assert sums == [f"{sha256(elsewhere / file)}  {file}" for file in SHIPPED]
    assert valid_cyclonedx(elsewhere / BOM)


def expect_demo_app_started_by(exe, process):
    """The release's start ends with 0 and the demo app it carries shows that this exe started it."""
    try:
        assert wait_exit(process) == 0
        window = ui("read", DEMO_APP_TITLE)
        shown = next(child["text"] for child in window.children if child["class"].lower() == "edit")
        assert f'CORVANE_BOOTSTRAP_PATH: "{windows_path(exe)}"' in shown
    finally:
        ui("close", DEMO_APP_TITLE, check=False, timeout_ms=2000)


def test_signed_release_starts_its_app(releases, tmp_path, data_root):
    root = tmp_path / "dotnet"
    for framework in ("Microsoft.NETCore.App", "Microsoft.WindowsDesktop.App"):
        (root / "shared" / framework).mkdir(parents=True)
    exe = releases["signed"].exe
    expect_demo_app_started_by(
        exe, start(exe, env=wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT=windows_path(root))))


def test_signing_elsewhere_without_the_bill_of_materials_is_refused_before_the_exe_is_touched(releases, tmp_path):
    # Only the exe and its debug file were copied: the papers could not follow a signature, so none is made.
    for file in (RELEASE_EXE, RELEASE_EXE + ".debug"):
        shutil.copy(releases["unsigned"].directory / file, tmp_path)
    before = (tmp_path / RELEASE_EXE).read_bytes()
    result = subprocess.run([str(SOURCE_DIR / "scripts" / "release"), "--sign-only", "--out", str(tmp_path), "--pkcs12",
                             str(PKI_DIR / "company.p12"), "--password-file", str(PKI_DIR / "company.password")],
                            cwd="/", stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        f"release: --sign-only: no {BOM} beside the exe; copy the whole release directory "
        "that scripts/release wrote"]
    assert (tmp_path / RELEASE_EXE).read_bytes() == before
    assert not (tmp_path / "SHA256SUMS").exists()


def bom_of(release):
    return json.loads((release.directory / BOM).read_text(encoding="utf-8"))


CYCLONEDX_SCHEMAS = SOURCE_DIR / "tests" / "fixtures" / "cyclonedx"


def valid_cyclonedx(path):
    """The format's official JSON schema for CycloneDX 1.5 (with the SPDX licence list and the signature
    schema it refers to), applied by Debian's jsonschema: nothing of the code that wrote the document is
    involved."""
    schemas = {name: json.loads((CYCLONEDX_SCHEMAS / name).read_text(encoding="utf-8"))
               for name in ("bom-1.5.SNAPSHOT.schema.json", "spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")}
    bom_schema = schemas["bom-1.5.SNAPSHOT.schema.json"]
    # The schema refers to its neighbours by file name, relative to its own $id.
    base = bom_schema["$id"].rsplit("/", 1)[0]
    store = {f"{base}/{name}": schema for name, schema in schemas.items()}
    store.update({schema["$id"]: schema for schema in schemas.values()})
    validator = jsonschema.Draft7Validator(bom_schema, format_checker=jsonschema.FormatChecker(),
                                           resolver=jsonschema.RefResolver.from_schema(bom_schema, store=store))
    errors = sorted(validator.iter_errors(json.loads(path.read_text(encoding="utf-8"))), key=str)
    assert not errors, "\n".join(f"{list(error.absolute_path)}: {error.message}" for error in errors)
    return True


def debian_field(package, field):
    return subprocess.run(["dpkg-query", "-W", f"-f=${{{field}}}", package], capture_output=True, text=True,
                          check=True).stdout


def debian_version(package):
    return debian_field(package, "Version")


def release_codename():
    return re.search(r"^VERSION_CODENAME=(\w+)", pathlib.Path("/etc/os-release").read_text(), re.MULTILINE).group(1)


def debian_supplier(package):
    name, email = re.fullmatch(r"(.*) <(.*)>", debian_field(package, "Maintainer")).groups()
    return {"name": "Debian", "url": ["https://www.debian.org/"], "contact": [{"name": name, "email": email}]}


def package_url(package, version, arch):
    # The deb type of package URLs (purl): pkg:deb/debian/NAME@VERSION?arch=ARCH&distro=CODENAME, with
    # "+" percent-encoded ("1:2.4.47-2%2Bb1" in its examples).
    quoted = version.replace("%", "%25").replace("+", "%2B")
    return f"pkg:deb/debian/{package.replace('+', '%2B')}@{quoted}?arch={arch}&distro={release_codename()}"


def test_every_release_carries_a_valid_bill_of_materials_of_what_it_is_made_of(releases):
    # No build time: the document's date is the commit's, the reproducible builds' SOURCE_DATE_EPOCH.
    # A tree without git (an exported archive) has no commit time, and the document then carries no date.
    commit = shutil.which("git") and subprocess.run(["git", "-C", str(SOURCE_DIR), "log", "-1", "--format=%ct"],
                                                    capture_output=True, text=True).stdout.strip()
    commit_time = commit and datetime.fromtimestamp(int(commit), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    for name, release in releases.items():
        assert valid_cyclonedx(release.directory / BOM), name
        bom = bom_of(release)
        assert bom["bomFormat"] == "CycloneDX" and bom["specVersion"] == "1.5", name
        exe = bom["metadata"]["component"]
        # The digest of the file as it ships: signed, for the signed release.
        assert (exe["name"], exe["version"]) == (RELEASE_EXE, VERSION), name
        assert exe["hashes"] == [{"alg": "SHA-256", "content": sha256(release.exe)}], name
        if commit_time:
            assert bom["metadata"]["timestamp"] == commit_time, name
        components = {c["bom-ref"]: c for c in bom["components"]}

        app = components["app"]
        assert (app["name"], app["version"], app["supplier"]) == ("Corvane.App.exe", DEMO_APP_VERSION,
                                                                   {"name": DEMO_APP_COMPANY}), name
        assert app["properties"] == [{"name": "corvane:runs-as", "value": "Corvane.App.exe"}], name
        assert app["hashes"] == [{"alg": "SHA-256", "content": sha256(TOOLS_DIR / "Corvane.App.exe")}], name

        linked = {c["name"]: c for c in bom["components"] if c["type"] == "library"}
        assert set(linked) == set(LINKED), name
        for component, (package, arch, licence) in LINKED.items():
            entry = linked[component]
            version = debian_version(package)
            # A package URL names a package that exists: dpkg's own name, version and architecture.
            assert debian_field(package, "Architecture") == arch, (name, component)
            assert entry["version"] == version, (name, component)
            assert entry["purl"] == package_url(package, version, arch), (name, component)
            assert entry["supplier"] == debian_supplier(package), (name, component)
            assert entry["licenses"] == [{"expression": licence}], (name, component)
            assert {"name": "corvane:debian-package", "value": package} in entry["properties"], (name, component)
            assert {"name": "corvane:linkage", "value": "static"} in entry["properties"], (name, component)

        installer = components["runtime-installer"]
        assert installer["externalReferences"] == [{"type": "distribution", "url": INSTALLER_URL}], name
        assert installer["hashes"] == [{"alg": "SHA-512", "content": INSTALLER_SHA512}], name
        assert installer["version"] == RUNTIME_VERSION, name
        assert installer["supplier"] == {"name": "Microsoft Corporation"}, name

        dependencies = {d["ref"]: d["dependsOn"] for d in bom["dependencies"]}
        assert sorted(dependencies["bootstrapper"]) == sorted(components), name

        # The tools that made the file, by the package of each program the build used; the signing tool
        # only where this command signed.
        tools = {t["name"]: t for t in bom["metadata"]["tools"]["components"]}
        expected = {"g++-mingw-w64-x86-64-posix", "gcc-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64", "cmake",
                    "ninja-build"} | ({"osslsigncode"} if name == "signed" else set())
        assert set(tools) == expected, name
        for package, tool in tools.items():
            arch = debian_field(package, "Architecture")
            assert (tool["version"], tool["purl"]) == (debian_version(package),
                                                       package_url(package, debian_version(package), arch)), package
            assert tool["supplier"] == debian_supplier(package), package


def test_licences_are_what_the_copyright_files_give_the_code_really_linked(releases):
    """Each licence of the MinGW-w64 runtime in the bill comes from a source file that is compiled into the
    exe: its function is there, the debug information names the file as a compile unit, and the copyright
    file's paragraph for it gives that licence. Should the tool chain link other code, the expressions above
    stop matching what the release writes."""
    debug = releases["unsigned"].debug
    symbols = subprocess.run(["x86_64-w64-mingw32-nm", str(debug)], capture_output=True, text=True, check=True).stdout
    units = subprocess.run(["x86_64-w64-mingw32-objdump", "--dwarf=info", "--dwarf-depth=1", str(debug)],
                           capture_output=True, text=True, check=True).stdout
    copyright_file = pathlib.Path("/usr/share/doc/mingw-w64-x86-64-dev/copyright").read_text(encoding="utf-8")
    paragraphs = copyright_file.split("\n\n")
    bom = {c["name"]: c for c in bom_of(releases["unsigned"])["components"]}
    for source, (symbol, files, licence) in LINKED_SOURCES.items():
        assert re.search(rf" T {re.escape(symbol)}$", symbols, re.MULTILINE), source
        assert re.search(rf"DW_AT_name\s*:.*: \./{re.escape(source)}$", units, re.MULTILINE), source
        assert any(re.search(rf"^(Files:)?\s+{re.escape(files)}$", p, re.MULTILINE) and f"\nLicense: {licence}" in p
                   for p in paragraphs), (source, files, licence)
        component = "winpthreads" if "winpthreads" in source else "mingw-w64-crt"
        identifier = {"expat": "MIT", "ZPL-2.1": "ZPL-2.1"}.get(licence, f"LicenseRef-{licence}")
        assert identifier in bom[component]["licenses"][0]["expression"].split(" AND "), source
    # GCC's runtime libraries are under its Runtime Library Exception, by the list in their copyright file.
    gcc = pathlib.Path("/usr/share/doc/g++-mingw-w64-x86-64-posix/copyright").read_text(encoding="utf-8")
    exception = gcc.split("Runtime Library Exception (included in this file):", 1)[1].split("\n\n")[1]
    assert "\n - libstdc++-v3\n" in exception + "\n" and " - libgcc (" in exception


def test_notices_and_bill_of_materials_are_the_same_from_every_build_of_one_tree(releases):
    unsigned, signed = releases["unsigned"], releases["signed"]
    assert (unsigned.directory / NOTICES).read_bytes() == (signed.directory / NOTICES).read_bytes()
    # Two builds, two directories, two moments: only the exe's own digest (and the serial number made
    # from it) and the signing tool may differ, because one of the two files is signed.
    def without_exe_digest(release):
        bom = json.loads((release.directory / BOM).read_text(encoding="utf-8"))
        bom["metadata"]["component"]["hashes"] = "EXE"
        bom["serialNumber"] = "SERIAL"
        tools = bom["metadata"]["tools"]["components"]
        tools[:] = [tool for tool in tools if tool["name"] != "osslsigncode"]
        return bom
    assert without_exe_digest(unsigned) == without_exe_digest(signed)
    for release in releases.values():
        text = (release.directory / BOM).read_text(encoding="utf-8")
        assert str(release.directory) not in text and str(SOURCE_DIR) not in text


def test_notices_carry_the_copyright_files_of_every_package_linked_in(releases):
    # What the notices and the bill of materials list is what the linker put in.
    symbols = subprocess.run(["x86_64-w64-mingw32-nm", str(releases["unsigned"].debug)], capture_output=True,
                             text=True, check=True).stdout
    for component, symbol in LINKED_SYMBOLS.items():
        assert re.search(rf" T {re.escape(symbol)}$", symbols, re.MULTILINE), component
    notices = (releases["unsigned"].directory / NOTICES).read_text(encoding="utf-8")
    for component, (package, _, licence) in LINKED.items():
        assert f"- {component}: " in notices, component
        assert f"  licence: {licence}\n" in notices, component
        assert f"  from the Debian package {package} {debian_version(package)}\n" in notices, component
        copyright_file = pathlib.Path(f"/usr/share/doc/{package}/copyright").read_text(encoding="utf-8")
        assert copyright_file.rstrip("\n") in notices, package
    # What the licences themselves turn on.
    assert "GCC RUNTIME LIBRARY EXCEPTION" in notices
    assert "Files: mingw-w64-libraries/winpthreads/*" in notices


TSA_SERVER = SOURCE_DIR / "tests" / "fixtures" / "tsa_server.py"


@contextlib.contextmanager
def time_stamping_authority(time):
    """tests/fixtures/tsa_server.py on loopback, stamping `time` into every token; yields its URL once it
    accepts requests."""
    process = subprocess.Popen(["/usr/bin/python3", str(TSA_SERVER), str(BUILD_DIR / "fixtures"), "--time", time],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        url = process.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:"), url
        yield url
    finally:
        process.stdin.close()
        process.wait(timeout=60)


def independent_verdict(exe):
    """osslsigncode's own verification (with the test root for the signer and for the time-stamping
    authority): the stamp's time as it reads it, and whether the signature holds at that time."""
    result = subprocess.run(["osslsigncode", "verify", "-in", str(exe), "-CAfile", str(PKI_DIR / "root.crt"),
                             "-TSA-CAfile", str(PKI_DIR / "root.crt")], capture_output=True, text=True, timeout=120)
    output = result.stdout + result.stderr
    # osslsigncode 2.9 says "Timestamp time:", Debian 12's 2.5 "The signature is timestamped:".
    stamp = re.search(r"^\s*(?:Timestamp time|The signature is timestamped): (.+)", output, re.MULTILINE)
    # Anchored: the time-stamping authority's own "Timestamp Server Signature verification" line says ok
    # whenever the stamp is sound.
    verdict = re.search(r"^Signature verification: (\w+)", output, re.MULTILINE)
    return (stamp.group(1).strip() if stamp else None), bool(verdict) and verdict.group(1) == "ok"


def test_time_stamp_keeps_a_signature_valid_after_its_certificate_expired(releases, tmp_path):
    """The company's certificate was valid only in 2020 (company-expired). A release signed with it and
    stamped by a time-stamping authority at a moment of 2020 is valid for good: that is what --timestamp
    is for. Stamped after the certificate's end, or not stamped at all, it is not.

    WinVerifyTrust is asked only what Windows and Wine answer alike: the late stamp and the missing stamp
    are refused as expired (CERT_E_EXPIRED). Windows accepts the file stamped in 2020; Wine 8 reads no
    RFC 3161 time stamp and judges every signer at today's date, so it refuses that one too, and the test
    leaves its answer open rather than hold on to a gap that Wine may close. That the stamp itself is right
    is shown by osslsigncode's own verifier, which checks the chain at the stamp's time."""
    chain = tmp_path / "company-expired-chain.pem"
    chain.write_bytes((PKI_DIR / "company-expired.crt").read_bytes() + (PKI_DIR / "root.crt").read_bytes())
    cases = {
        # name: (stamped at, what the stamp reads, holds for osslsigncode, WinVerifyTrust on Windows and Wine)
        "stamped while the certificate was valid": ("20200701120000Z", "Jul  1 12:00:00 2020 GMT", True, None),
        "stamped after the certificate expired": ("20220701120000Z", "Jul  1 12:00:00 2022 GMT", False, (1, "0x800B0101")),
        "not stamped": (None, None, False, (1, "0x800B0101")),
    }
    for index, (name, (time, reads, holds, refused)) in enumerate(cases.items()):
        directory = tmp_path / f"release-{index}"
        directory.mkdir()
        for file in SHIPPED:
            shutil.copy(releases["unsigned"].directory / file, directory)
        with contextlib.ExitStack() as stack:
            options = []
            if time:
                url = stack.enter_context(time_stamping_authority(time))
                options = ["--timestamp", url]
            release = make_release(directory, "--sign-only", "--cert", chain, "--key", PKI_DIR / "company-expired.key",
                                   *options)
        if time:
            assert f"Signed:  Authenticode, SHA-256, time-stamped by {url}\n" in release.output, name
        assert independent_verdict(release.exe) == (reads, holds), name
        if refused is not None:
            assert trust(release.exe) == refused, name
        assert bom_of(release)["metadata"]["component"]["hashes"][0]["content"] == sha256(release.exe), name
