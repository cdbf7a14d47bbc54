#!/usr/bin/python3
"""The papers that travel with a release: the third-party notices of what the cross compiler linked into
the exe, and a CycloneDX bill of materials. Both are written from the build directory and the packages of
this machine, and hold nothing that changes between two builds of the same tree (no build time, no
paths); where the format wants a date, SOURCE_DATE_EPOCH gives it.

  release_documents.py write BUILD_DIR OUT_DIR EXE PAYLOAD_NAME     notices and bill of materials
  release_documents.py refresh OUT_DIR EXE                          the exe's digest again, after signing
"""
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

NOTICES = "THIRD_PARTY_NOTICES.txt"

# What a static MinGW-w64 link puts into the exe, by the archives it comes from. Each component's
# package (and with it its version and copyright file) is looked up from the archive the compiler would
# link, so a change of the tool chain shows here without anyone editing this table.
STATIC_COMPONENTS = [
    {
        "name": "libstdc++",
        "description": "GCC's C++ runtime library",
        "archives": ["libstdc++.a"],
        "licenses": [{"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}],
    },
    {
        "name": "libgcc",
        "description": "GCC's low-level runtime library and unwinder",
        "archives": ["libgcc.a", "libgcc_eh.a"],
        "licenses": [{"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}],
    },
    {
        "name": "mingw-w64-crt",
        "description": "MinGW-w64 runtime: start-up code, C runtime glue and import libraries",
        "archives": ["crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a", "libmoldname.a", "libkernel32.a"],
        "licenses": [{"expression": "ZPL-2.1 AND LicenseRef-public-domain"}],
    },
    {
        "name": "winpthreads",
        "description": "MinGW-w64 POSIX threads library, under the C++ runtime's threads",
        "archives": ["libwinpthread.a"],
        "licenses": [{"expression": "MIT AND BSD-3-Clause"}],
    },
]

# The installer's path on its host, as the bootstrapper asks for it.
INSTALLER_PATH = "/dotnet/WindowsDesktop/8.0.32/windowsdesktop-runtime-8.0.32-win-x64.exe"
INSTALLER_VERSION = "8.0.32"


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


def compiler(build):
    """The C++ compiler the build linked with, as CMake found it (a toolchain setting, not cached)."""
    for found in sorted(build.glob("CMakeFiles/*/CMakeCXXCompiler.cmake")):
        match = re.search(r'^set\(CMAKE_CXX_COMPILER "([^"]+)"\)', found.read_text(), re.MULTILINE)
        if match:
            return match.group(1)
    raise SystemExit(f"{build} names no C++ compiler")


def debian_package(path):
    """The Debian package that installed a file, with its version."""
    owner = subprocess.run(["dpkg", "-S", str(pathlib.Path(path).resolve())], capture_output=True, text=True)
    if owner.returncode != 0:
        raise SystemExit(f"no Debian package owns {path}: the notices could not be taken from its copyright file")
    package = owner.stdout.split(":", 1)[0].strip()
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True,
                             check=True).stdout.strip()
    return package, version


def linked_packages(compiler):
    """Each static component with the Debian packages its archives came from."""
    found = []
    for component in STATIC_COMPONENTS:
        packages = {}
        for archive in component["archives"]:
            path = subprocess.run([compiler, f"-print-file-name={archive}"], capture_output=True, text=True,
                                  check=True).stdout.strip()
            if not pathlib.Path(path).is_absolute():
                raise SystemExit(f"{compiler} does not know {archive}")
            package, version = debian_package(path)
            packages[package] = version
        found.append((component, sorted(packages.items())))
    return found


def notices(exe_name, components):
    """One text: what was linked, from which packages, then each package's copyright file once."""
    lines = [f"Third-party notices for {exe_name}", "",
             "The program contains code of the components below, linked into it statically by Debian's",
             "MinGW-w64 cross compiler. Their licences ask that these notices travel with the program.", ""]
    for component, packages in components:
        lines.append(f"- {component['name']}: {component['description']}")
        lines.append(f"  licence: {component['licenses'][0]['expression']}")
        for package, version in packages:
            lines.append(f"  from the Debian package {package} {version}")
    lines += ["", "The copyright files of these packages follow as Debian ships them; packages that share one",
              "file share its copy.", ""]
    texts = {}
    for _, packages in components:
        for package, version in packages:
            text = pathlib.Path(f"/usr/share/doc/{package}/copyright").read_text(encoding="utf-8")
            texts.setdefault(text, []).append(f"{package} {version}")
    for text, owners in texts.items():
        owners = sorted(set(owners))
        lines += ["=" * 78, "Copyright file of " + ", ".join(owners), "=" * 78, "", text.rstrip("\n"), ""]
    return "\n".join(lines) + "\n"


def purl(package, version):
    quoted = urllib.parse.quote(version, safe="")
    return f"pkg:deb/debian/{urllib.parse.quote(package, safe='')}@{quoted}?arch=amd64"


def creation_time():
    """SOURCE_DATE_EPOCH as the document's time, or no time at all."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return None
    return datetime.fromtimestamp(int(epoch), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def serial_number(exe_digest):
    # Derived from what the document describes, so the same exe always has the same document.
    return "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL, f"urn:corvane-lite:bom:{exe_digest}"))


def bom(exe, version, payload, payload_name, components, host, installer_sha512):
    exe_digest = sha(exe, "sha256")
    metadata = {
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
    listed = [{
        "type": "application", "bom-ref": "app", "name": payload_name, "scope": "required",
        "description": "The embedded app (resource 201), started by the bootstrapper",
        "hashes": [{"alg": "SHA-256", "content": sha(payload, "sha256")}],
        # Whatever the file was called, its cached copy is started under the bootstrapper's own name for it.
        "properties": [{"name": "corvane:runs-as", "value": "Corvane.App.exe"}],
    }]
    for component, packages in components:
        for package, package_version in packages:
            listed.append({
                "type": "library", "bom-ref": f"{component['name']}@{package}", "name": component["name"],
                "version": package_version, "scope": "required", "description": component["description"],
                "licenses": component["licenses"], "purl": purl(package, package_version),
                "properties": [{"name": "corvane:linkage", "value": "static"},
                               {"name": "corvane:debian-package", "value": package}],
            })
    listed.append({
        "type": "application", "bom-ref": "runtime-installer", "name": "windowsdesktop-runtime-win-x64",
        "version": INSTALLER_VERSION, "scope": "optional",
        "description": ".NET Windows Desktop Runtime installer, downloaded and run only where no runtime works; "
                       "not part of the exe",
        "supplier": {"name": "Microsoft Corporation"},
        "hashes": [{"alg": "SHA-512", "content": installer_sha512}],
        "externalReferences": [{"type": "distribution", "url": f"https://{host}{INSTALLER_PATH}"}],
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


def write(build, out, exe, payload_name):
    build, out, exe = pathlib.Path(build), pathlib.Path(out), pathlib.Path(exe)
    version = re.search(r"_v([0-9.]+)_", exe.name).group(1)
    components = linked_packages(compiler(build))
    payload = build / "generated" / "Corvane_Lite" / "payload.bin"
    (out / NOTICES).write_text(notices(exe.name, components), encoding="utf-8")
    document = bom(exe, version, payload, payload_name, components, cache_value(build, "CORVANE_DOWNLOAD_HOST"),
                   cache_value(build, "CORVANE_INSTALLER_SHA512"))
    (out / bom_name(exe)).write_text(dump(document), encoding="utf-8")


def refresh(out, exe):
    """Signing rewrote the exe: its digest, and the serial number made from it, follow."""
    out, exe = pathlib.Path(out), pathlib.Path(exe)
    path = out / bom_name(exe)
    if not path.is_file():
        raise SystemExit(f"no {path.name} beside the exe: build the release with scripts/release first")
    document = json.loads(path.read_text(encoding="utf-8"))
    digest = sha(exe, "sha256")
    document["metadata"]["component"]["hashes"] = [{"alg": "SHA-256", "content": digest}]
    document["serialNumber"] = serial_number(digest)
    path.write_text(dump(document), encoding="utf-8")


def main(argv):
    if len(argv) == 6 and argv[1] == "write":
        write(*argv[2:])
    elif len(argv) == 4 and argv[1] == "refresh":
        refresh(*argv[2:])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
