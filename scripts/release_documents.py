#!/usr/bin/python3
"""The papers that travel with a release: the third-party notices of what the cross compiler linked into
the exe, and a CycloneDX bill of materials. Both are written from the build directory and the packages of
this machine, and hold nothing that changes between two builds of the same tree (no build time, no
paths); where the format wants a date, SOURCE_DATE_EPOCH gives it.

  release_documents.py write BUILD_DIR OUT_DIR EXE PAYLOAD_NAME [--signed-with osslsigncode]
                                            notices and bill of materials
  release_documents.py refresh OUT_DIR EXE [--signed-with osslsigncode | --signed-elsewhere]
                                            the exe's digest again, after signing

A licence is what the Debian copyright file of the package says about the source files that really are in
the exe: the compile units its debug information names, matched against the file's Files: paragraphs.
"""
import argparse
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import urllib.parse
import uuid
from datetime import datetime, timezone

import pefile

import release_constants

NOTICES = "THIRD_PARTY_NOTICES.txt"
OBJDUMP = "x86_64-w64-mingw32-objdump"

# What a static MinGW-w64 link puts into the exe, by the archives it comes from. Each component's
# package (and with it its version and copyright file) is looked up from the archive the compiler would
# link, so a change of the tool chain shows here without anyone editing this table. GCC's copyright file
# is prose that names its runtime libraries; the MinGW-w64 one is machine-readable, and the files that
# were compiled into the exe are found under `sources`.
STATIC_COMPONENTS = [
    {
        "name": "libstdc++",
        "description": "GCC's C++ runtime library",
        "archives": ["libstdc++.a"],
        "gcc_library": "libstdc++-v3",
    },
    {
        "name": "libgcc",
        "description": "GCC's low-level runtime library and unwinder",
        "archives": ["libgcc.a", "libgcc_eh.a"],
        "gcc_library": "libgcc",
    },
    {
        "name": "mingw-w64-crt",
        "description": "MinGW-w64 runtime: start-up code, C runtime glue and import libraries",
        "archives": ["crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a", "libmoldname.a", "libkernel32.a"],
        "sources": "mingw-w64-crt/",
    },
    {
        "name": "winpthreads",
        "description": "MinGW-w64 POSIX threads library, under the C++ runtime's threads",
        "archives": ["libwinpthread.a"],
        "sources": "mingw-w64-libraries/winpthreads/",
    },
]
GCC_RUNTIME_EXCEPTION = "GPL-3.0-or-later WITH GCC-exception-3.1"

# Debian's short licence names that have an SPDX identifier; any other is written as LicenseRef-<name>,
# its text being in the notices.
SPDX = {"ZPL-2.1": "ZPL-2.1", "expat": "MIT", "MIT": "MIT", "BSD-2-clause": "BSD-2-Clause",
        "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC", "GPL-2+": "GPL-2.0-or-later", "GPL-3+": "GPL-3.0-or-later",
        "LGPL-2+": "LGPL-2.0-or-later", "LGPL-2.1+": "LGPL-2.1-or-later", "Apache-2.0": "Apache-2.0"}

DEBIAN = "Debian"
DEBIAN_URL = "https://www.debian.org/"



def sha(path, algorithm):
    digest = hashlib.new(algorithm)
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def cache_value(build, name):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise SystemExit(f"{name} is not in {build}/CMakeCache.txt")


def compiler(build, language="CXX"):
    """The compiler the build used, as CMake found it (a toolchain setting, not cached)."""
    for found in sorted(build.glob(f"CMakeFiles/*/CMake{language}Compiler.cmake")):
        match = re.search(rf'^set\(CMAKE_{language}_COMPILER "([^"]+)"\)', found.read_text(), re.MULTILINE)
        if match:
            return match.group(1)
    raise SystemExit(f"{build} names no {language} compiler")


class Package:
    """A Debian package as dpkg knows it."""

    def __init__(self, name):
        fields = subprocess.run(["dpkg-query", "-W", "-f=${Version}\t${Architecture}\t${Maintainer}", name],
                                capture_output=True, text=True, check=True).stdout.split("\t")
        self.name = name
        self.version, self.architecture, self.maintainer = fields

    @classmethod
    def owning(cls, path):
        """The package that installed a file."""
        owner = subprocess.run(["dpkg", "-S", str(pathlib.Path(path).resolve())], capture_output=True, text=True)
        if owner.returncode != 0:
            raise SystemExit(f"no Debian package owns {path}: its version and licence cannot be told")
        return cls(owner.stdout.split(":", 1)[0].strip())

    def copyright(self):
        return pathlib.Path(f"/usr/share/doc/{self.name}/copyright").read_text(encoding="utf-8")

    def purl(self):
        # The deb type of package URLs (purl): vendor namespace, the binary package's version
        # and architecture ("all" for an architecture-independent one) and the release it comes from.
        version = urllib.parse.quote(self.version, safe=":")
        return f"pkg:deb/debian/{urllib.parse.quote(self.name, safe='')}@{version}?arch={self.architecture}&distro={distribution()}"

    def supplier(self):
        supplier = {"name": DEBIAN, "url": [DEBIAN_URL]}
        match = re.fullmatch(r"\s*(.*?)\s*<([^>]+)>\s*", self.maintainer)
        if match:
            supplier["contact"] = [{"name": match.group(1), "email": match.group(2)}]
        return supplier


def distribution():
    """The Debian release's code name, as the deb examples of the package-URL standard (purl) give it."""
    for line in pathlib.Path("/etc/os-release").read_text().splitlines():
        if line.startswith("VERSION_CODENAME="):
            return line.split("=", 1)[1].strip('"')
    raise SystemExit("/etc/os-release names no release code name")


def copyright_paragraphs(text):
    """(patterns, Debian licence name) of each Files: paragraph of a machine-readable copyright file."""
    if not text.startswith("Format: "):
        raise SystemExit("the copyright file is not machine-readable (no Format: line)")
    paragraphs = []
    for block in re.split(r"\n[ \t]*\n", text):
        fields, current = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and current:
                fields[current] += "\n" + line
            elif ":" in line:
                current, value = line.split(":", 1)
                fields[current] = value.strip()
        if "Files" in fields and "License" in fields:
            paragraphs.append((fields["Files"].split(), fields["License"].splitlines()[0].strip()))
    return paragraphs


def pattern(files_pattern):
    # In a Files: pattern, * stands for any run of characters (slashes included) and ? for one.
    return re.compile("".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in files_pattern))


def licence_of(path, paragraphs):
    """The licence the copyright file gives one source file: its last paragraph that matches wins."""
    found = None
    for patterns, licence in paragraphs:
        if any(pattern(p).fullmatch(path) for p in patterns):
            found = licence
    return found


def compile_units(debug_file):
    """The source file of every compile unit in the exe's debug information, as the compiler named it."""
    dump = subprocess.run([OBJDUMP, "--dwarf=info", "--dwarf-depth=1", str(debug_file)], capture_output=True,
                          text=True, check=True).stdout
    units, in_unit = [], False
    for line in dump.splitlines():
        if "(DW_TAG_compile_unit)" in line:
            in_unit = True
        elif in_unit:
            match = re.search(r"DW_AT_name\s*:\s*(?:\([^)]*\):\s*)?(.+)$", line)
            if match:
                units.append(match.group(1).strip().removeprefix("./"))
                in_unit = False
    return units


def spdx(debian_name):
    return SPDX.get(debian_name) or "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", debian_name)


def component_licence(component, packages, units):
    """The SPDX expression of a component, and the source files compiled in by Debian licence name."""
    texts = [package.copyright() for package in packages]
    if "gcc_library" in component:
        # "The following runtime libraries are licensed under ... version 3.1 of the GCC Runtime Library
        # Exception", then one " - name" line per library.
        for text in texts:
            listing = re.search(r"The following runtime libraries are licensed under the terms of the\s+GNU General "
                                r"Public License \(v3 or later\) with version 3\.1 of the GCC\s+Runtime Library "
                                r"Exception.*?\n\n(.*?)\n\n", text, re.DOTALL)
            if listing and re.search(rf"^ - {re.escape(component['gcc_library'])}\b", listing.group(1), re.MULTILINE):
                return GCC_RUNTIME_EXCEPTION, {}
        raise SystemExit(f"the copyright file of {packages[0].name} does not put {component['gcc_library']} under the "
                         "GCC Runtime Library Exception: its licence must be looked at again")
    paragraphs = [p for text in texts for p in copyright_paragraphs(text)]
    linked = sorted(u for u in units if u.startswith(component["sources"]))
    if not linked:
        raise SystemExit(f"the exe's debug information names no source file under {component['sources']}: "
                         f"the licence of {component['name']} cannot be taken from what is linked")
    by_licence = {}
    for unit in linked:
        licence = licence_of(unit, paragraphs)
        if licence is None:
            raise SystemExit(f"the copyright file of {packages[0].name} says nothing about {unit}")
        by_licence.setdefault(licence, []).append(unit)
    return " AND ".join(sorted({spdx(name) for name in by_licence})), by_licence


def linked_components(build, exe_name):
    """Each static component with its Debian packages, its licence and the files behind it."""
    cxx = compiler(build)
    units = compile_units(build / f"{exe_name}.debug")
    found = []
    for component in STATIC_COMPONENTS:
        packages = {}
        for archive in component["archives"]:
            path = subprocess.run([cxx, f"-print-file-name={archive}"], capture_output=True, text=True,
                                  check=True).stdout.strip()
            if not pathlib.Path(path).is_absolute():
                raise SystemExit(f"{cxx} does not know {archive}")
            package = Package.owning(path)
            packages[package.name] = package
        packages = [packages[name] for name in sorted(packages)]
        expression, by_licence = component_licence(component, packages, units)
        found.append((component, packages, expression, by_licence))
    return found


def build_tools(build, signed_with):
    """The Debian packages of the programs that made the file, each once, with what it did."""
    roles = [
        (compiler(build, "CXX"), "C++ cross compiler"),
        (compiler(build, "C"), "C cross compiler"),
        (cache_value(build, "CMAKE_LINKER"), "linker, resource compiler and binary tools"),
        (cache_value(build, "CMAKE_COMMAND"), "build system"),
        (cache_value(build, "CMAKE_MAKE_PROGRAM"), "build tool"),
    ]
    tools = {}
    for path, role in roles:
        package = Package.owning(path)
        tools.setdefault(package.name, (package, []))[1].append(role)
    entries = [tool_entry(package, ", ".join(roles)) for package, roles in tools.values()]
    return entries + ([signing_tool(signed_with)] if signed_with else [])


def signing_tool(name):
    # The release command signs with osslsigncode, which the Debian package of that name provides.
    return tool_entry(Package(name), "Authenticode signing")


def tool_entry(package, role):
    return {"type": "application", "name": package.name, "version": package.version, "description": role,
            "supplier": package.supplier(), "purl": package.purl()}


def notices(exe_name, components):
    """One text: what was linked, from which packages, then each package's copyright file once."""
    lines = [f"Third-party notices for {exe_name}", "",
             "The program contains code of the components below, linked into it statically by Debian's",
             "MinGW-w64 cross compiler. Their licences ask that these notices travel with the program.", ""]
    for component, packages, expression, by_licence in components:
        lines.append(f"- {component['name']}: {component['description']}")
        lines.append(f"  licence: {expression}")
        for package in packages:
            lines.append(f"  from the Debian package {package.name} {package.version}")
        if by_licence:
            lines.append("  source files compiled in, by the licence their package's copyright file gives them:")
            for licence, files in sorted(by_licence.items()):
                lines.append(f"    {licence}: " + ", ".join(files))
    lines += ["", "The copyright files of these packages follow as Debian ships them; packages that share one",
              "file share its copy.", ""]
    texts = {}
    for _, packages, _, _ in components:
        for package in packages:
            texts.setdefault(package.copyright(), []).append(f"{package.name} {package.version}")
    for text, owners in texts.items():
        owners = sorted(set(owners))
        lines += ["=" * 78, "Copyright file of " + ", ".join(owners), "=" * 78, "", text.rstrip("\n"), ""]
    return "\n".join(lines) + "\n"


def version_resource(path):
    """ProductVersion and CompanyName of a program's version resource (None for what it lacks)."""
    try:
        pe = pefile.PE(str(path), fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except pefile.PEFormatError:
        return None, None
    strings = {}
    for info in (pe.FileInfo[0] if getattr(pe, "FileInfo", None) else []):
        for table in getattr(info, "StringTable", []):
            for name, value in table.entries.items():
                strings.setdefault(name.decode("utf-8", "replace"), value.decode("utf-8", "replace").strip())
    version = strings.get("ProductVersion") or strings.get("FileVersion")
    if not version and getattr(pe, "VS_FIXEDFILEINFO", None):
        fixed = pe.VS_FIXEDFILEINFO[0]
        version = ".".join(str(n) for n in (fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF,
                                            fixed.ProductVersionLS >> 16, fixed.ProductVersionLS & 0xFFFF))
    pe.close()
    return version or None, strings.get("CompanyName") or None


def creation_time():
    """SOURCE_DATE_EPOCH as the document's time, or no time at all."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return None
    return datetime.fromtimestamp(int(epoch), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def serial_number(exe_digest):
    # Derived from what the document describes, so the same exe always has the same document.
    return "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL, f"urn:corvane-lite:bom:{exe_digest}"))


def bom(exe, version, payload, payload_name, components, tools, constants):
    exe_digest = sha(exe, "sha256")
    metadata = {
        "tools": {"components": tools},
        "component": {
            "type": "application", "bom-ref": "bootstrapper", "name": exe.name, "version": version,
            "description": "Corvane Lite: per-user bootstrapper of the Corvane screenshot app",
            "hashes": [{"alg": "SHA-256", "content": exe_digest}],
        },
        "properties": [{"name": "corvane:exe-digest",
                        "value": "SHA-256 of the file as shipped: after signing, when it is signed"}],
    }
    stamp = creation_time()
    if stamp:
        metadata = {"timestamp": stamp, **metadata}
    app = {"type": "application", "bom-ref": "app", "name": payload_name}
    app_version, app_company = version_resource(payload)
    if app_version:
        app["version"] = app_version
    if app_company:
        app["supplier"] = {"name": app_company}
    app.update({
        "scope": "required", "description": "The embedded app (resource 201), started by the bootstrapper",
        "hashes": [{"alg": "SHA-256", "content": sha(payload, "sha256")}],
        # Whatever the file was called, its cached copy is started under the bootstrapper's own name for it.
        "properties": [{"name": "corvane:runs-as", "value": "Corvane.App.exe"}],
    })
    listed = [app]
    for component, packages, expression, _ in components:
        for package in packages:
            listed.append({
                "type": "library", "bom-ref": f"{component['name']}@{package.name}", "supplier": package.supplier(),
                "name": component["name"], "version": package.version, "scope": "required",
                "description": component["description"], "licenses": [{"expression": expression}],
                "purl": package.purl(),
                "properties": [{"name": "corvane:linkage", "value": "static"},
                               {"name": "corvane:debian-package", "value": package.name}],
            })
    listed.append({
        "type": "application", "bom-ref": "runtime-installer", "supplier": {"name": "Microsoft Corporation"},
        "name": "windowsdesktop-runtime-win-x64", "version": constants["CORVANE_RUNTIME_VERSION"], "scope": "optional",
        "description": ".NET Windows Desktop Runtime installer, downloaded and run only where no runtime works; "
                       "not part of the exe",
        "hashes": [{"alg": "SHA-512", "content": constants["CORVANE_INSTALLER_SHA512"]}],
        "externalReferences": [{"type": "distribution", "url": "https://" + constants["CORVANE_DOWNLOAD_HOST"] +
                                constants["CORVANE_INSTALLER_PATH"]}],
        "properties": [{"name": "corvane:delivery", "value": "downloaded at run time"}],
    })
    return {
        "bomFormat": "CycloneDX", "specVersion": "1.5", "serialNumber": serial_number(exe_digest), "version": 1,
        "metadata": metadata, "components": listed,
        "dependencies": [{"ref": "bootstrapper", "dependsOn": [c["bom-ref"] for c in listed]}]
                        + [{"ref": c["bom-ref"], "dependsOn": []} for c in listed],
    }


def bom_name(exe):
    return re.sub(r"\.exe$", "", exe.name) + ".cdx.json"


def dump(document):
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


def write(build, out, exe, payload_name, signed_with=None):
    build, out, exe = pathlib.Path(build), pathlib.Path(out), pathlib.Path(exe)
    # The installer's version, path, host and digest as the build gave them to the bootstrapper.
    constants = release_constants.read(build)
    version = constants["CORVANE_VERSION"]
    components = linked_components(build, exe.name)
    payload = build / "generated" / "Corvane_Lite" / "payload.bin"
    (out / NOTICES).write_text(notices(exe.name, components), encoding="utf-8")
    document = bom(exe, version, payload, payload_name, components, build_tools(build, signed_with), constants)
    (out / bom_name(exe)).write_text(dump(document), encoding="utf-8")


def refresh(out, exe, signed_with=None, elsewhere=False):
    """Signing rewrote the exe: its digest, the serial number made from it and the signing tool follow."""
    out, exe = pathlib.Path(out), pathlib.Path(exe)
    path = out / bom_name(exe)
    if not path.is_file():
        raise SystemExit(f"no {path.name} beside the exe: build the release with scripts/release first")
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
        digest = sha(exe, "sha256")
        document["metadata"]["component"]["hashes"] = [{"alg": "SHA-256", "content": digest}]
        document["serialNumber"] = serial_number(digest)
        tools = document["metadata"].setdefault("tools", {}).setdefault("components", [])
    except (UnicodeDecodeError, json.JSONDecodeError, KeyError, TypeError, AttributeError) as damaged:
        # Only a bill of materials this command wrote can be brought up to date, never one rewritten since.
        raise SystemExit(f"{path.name} is not the bill of materials scripts/release wrote ({type(damaged).__name__}: "
                         f"{damaged})") from None
    if signed_with or elsewhere:
        # Whatever signed the file before does not sign this one.
        tools[:] = [t for t in tools if "Authenticode signing" not in t.get("description", "")]
    if signed_with:
        tools.append(signing_tool(signed_with))
    path.write_text(dump(document), encoding="utf-8")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    writing = commands.add_parser("write")
    for name in ("build", "out", "exe", "payload_name"):
        writing.add_argument(name)
    writing.add_argument("--signed-with", choices=["osslsigncode"])
    refreshing = commands.add_parser("refresh")
    refreshing.add_argument("out")
    refreshing.add_argument("exe")
    signer = refreshing.add_mutually_exclusive_group()
    signer.add_argument("--signed-with", choices=["osslsigncode"])
    signer.add_argument("--signed-elsewhere", action="store_true")
    args = parser.parse_args(argv[1:])
    if args.command == "write":
        write(args.build, args.out, args.exe, args.payload_name, args.signed_with)
    else:
        refresh(args.out, args.exe, args.signed_with, args.signed_elsewhere)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
