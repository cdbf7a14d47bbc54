#!/usr/bin/env python3
"""Lays Microsoft's .NET runtime out as the runtime roots a user's PC really has, for the tests that hold
the bootstrapper to Microsoft's own app host.

    make_roots.py DOTNET OUT_DIR VERSION

restores Microsoft's Windows runtime packs from NuGet (by package name and version only, through a small
restore project written into OUT_DIR) and makes under OUT_DIR/roots, for VERSION (the runtime version the
bootstrapper is built for, its build setting CORVANE_RUNTIME_VERSION):

    complete      host\\fxr\\VERSION\\hostfxr.dll, shared\\Microsoft.NETCore.App\\VERSION and
                  shared\\Microsoft.WindowsDesktop.App\\VERSION: what the Windows Desktop Runtime installer
                  of the version the bootstrapper downloads lays down
    no-desktop    the same without any desktop runtime version: its directory is there but empty, as an
                  uninstalled desktop runtime can leave it (a root without the directory at all never
                  reaches the host: the bootstrapper's own check refuses it)
    other-major   only the desktop runtime of another major version, 9.0, a PC with a newer runtime
    no-hostfxr    complete, but host\\fxr\\VERSION lost its hostfxr.dll, a damaged installation

The variants of the complete root share its files through hard links. OUT_DIR/made.stamp is written last,
so an interrupted run is redone. The muxer dotnet.exe is left out: no runtime pack carries it, and an app
host never uses it.
"""
import json
import os
import pathlib
import shutil
import subprocess
import sys

OTHER_MAJOR_VERSION = "9.0.23"
CORE = "Microsoft.NETCore.App"
DESKTOP = "Microsoft.WindowsDesktop.App"

RESTORE_PROJECT = """<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <TargetFramework>net8.0</TargetFramework>
  </PropertyGroup>
  <ItemGroup>
    <PackageDownload Include="{CORE}.Runtime.win-x64" Version="[{version}];[{other}]" />
    <PackageDownload Include="{DESKTOP}.Runtime.win-x64" Version="[{version}];[{other}]" />
  </ItemGroup>
</Project>
"""


def restore(dotnet, directory, version):
    """Restores the runtime packs; returns NuGet's package folder they landed in."""
    directory.mkdir(parents=True, exist_ok=True)
    project = directory / "RuntimePacks.csproj"
    project.write_text(RESTORE_PROJECT.format(CORE=CORE, DESKTOP=DESKTOP, version=version, other=OTHER_MAJOR_VERSION))
    subprocess.run([dotnet, "restore", str(project), "-nodeReuse:false"], check=True, stdin=subprocess.DEVNULL)
    assets = json.loads((directory / "obj" / "project.assets.json").read_text())
    return pathlib.Path(next(iter(assets["packageFolders"])))


def runtime_pack(packages, framework, version):
    """The runtime-specific part of one runtime pack: lib/<tfm> holds the managed assemblies, native the rest."""
    pack = packages / f"{framework}.Runtime.win-x64".lower() / version / "runtimes" / "win-x64"
    [lib] = (pack / "lib").iterdir()
    return lib, pack / "native"


def install(packages, root, version):
    """Lays one version of both frameworks and its hostfxr out under root, as the installer does."""
    for framework in (CORE, DESKTOP):
        lib, native = runtime_pack(packages, framework, version)
        target = root / "shared" / framework / version
        shutil.copytree(lib, target)
        shutil.copytree(native, target, dirs_exist_ok=True)
    fxr = root / "host" / "fxr" / version
    fxr.mkdir(parents=True)
    # The installer keeps hostfxr only under host\fxr; the framework directory holds hostpolicy.
    shutil.move(root / "shared" / CORE / version / "hostfxr.dll", fxr / "hostfxr.dll")


def linked_copy(source, target):
    shutil.copytree(source, target, copy_function=os.link)


def main():
    dotnet, out, version = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
    stamp = out / "made.stamp"
    stamp.unlink(missing_ok=True)
    packages = restore(dotnet, out / "restore", version)
    roots = out / "roots"
    shutil.rmtree(roots, ignore_errors=True)

    complete = roots / "complete"
    install(packages, complete, version)

    no_desktop = roots / "no-desktop"
    linked_copy(complete, no_desktop)
    shutil.rmtree(no_desktop / "shared" / DESKTOP / version)

    install(packages, roots / "other-major", OTHER_MAJOR_VERSION)

    no_hostfxr = roots / "no-hostfxr"
    linked_copy(complete, no_hostfxr)
    (no_hostfxr / "host" / "fxr" / version / "hostfxr.dll").unlink()

    stamp.write_text(f"{version} {OTHER_MAJOR_VERSION}\n")


if __name__ == "__main__":
    main()
