"""The release constants of one build (the bootstrapper's version, the runtime version and the installer's
path, digest and host), as the build wrote them into <build>/corvane-release.env from its settings. The
scripts, tests and benches read them here instead of writing them out, so a bump is one setting."""
import os
import pathlib

FILE_NAME = "corvane-release.env"


def read(build_dir) -> dict:
    """NAME -> value; fails with the file's name when the build directory has not been configured."""
    path = pathlib.Path(build_dir) / FILE_NAME
    try:
        lines = path.read_text().splitlines()
    except FileNotFoundError:
        raise SystemExit(f"{path} is missing: configure the build first (cmake --preset release -B {build_dir})")
    return dict(line.split("=", 1) for line in lines if "=" in line)


def default_build_dir() -> pathlib.Path:
    return pathlib.Path(os.environ.get("CORVANE_BUILD_DIR",
                                       pathlib.Path(__file__).resolve().parents[1] / "build" / "release"))


def of_default_build() -> dict:
    """The constants of the build the tests and benches run against (CORVANE_BUILD_DIR)."""
    return read(default_build_dir())


def tree_default(name, source_dir=pathlib.Path(__file__).resolve().parents[1]) -> str:
    """A setting's default as CMakeLists.txt defines it, for a script that has no build directory yet."""
    import re
    text = (pathlib.Path(source_dir) / "CMakeLists.txt").read_text()
    match = re.search(rf'^set\({name} "([^"]*)" CACHE', text, re.MULTILINE)
    if not match:
        raise SystemExit(f"CMakeLists.txt defines no {name}")
    return match.group(1)


def exe_name(settings=()) -> str:
    """The exe's name for a build with these -DNAME=VALUE settings."""
    version = tree_default("CORVANE_VERSION")
    import re
    for setting in settings:
        match = re.match(r"-DCORVANE_VERSION(:[A-Z]+)?=(.*)$", setting)
        if match:
            version = match.group(2)
    return f"Corvane_v{version}_Lite.exe"


if __name__ == "__main__":
    import sys
    # release_constants.py exe-name [-DNAME=VALUE ...]    the exe's name a release with these settings gets
    # release_constants.py get BUILD_DIR NAME             one constant of a configured build
    if sys.argv[1:2] == ["exe-name"]:
        print(exe_name(sys.argv[2:]))
    elif sys.argv[1:2] == ["get"] and len(sys.argv) == 4:
        print(read(sys.argv[2])[sys.argv[3]])
    else:
        raise SystemExit("usage: release_constants.py exe-name [-DNAME=VALUE ...] | get BUILD_DIR NAME")
