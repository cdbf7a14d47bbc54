"""The payload guard: scripts/release and the build setting CORVANE_APP_PAYLOAD refuse, in one line that says
why and what to do, every file that cannot work as the one app the bootstrapper carries, and let a native
x64 program or a .NET single-file bundle through. The refused files are small synthetic PE images, each
wrong in exactly one way."""
import struct
import subprocess

import pytest

from conftest import RELEASE_EXE, BUILD_DIR, RELEASE_SCRIPT, SOURCE_DIR, TOOLS_DIR

CHECK_SCRIPT = SOURCE_DIR / "cmake" / "PayloadCheck.cmake"

AMD64, I386, ARM64 = 0x8664, 0x14C, 0xAA64
EXECUTABLE, DLL = 0x0022, 0x2022  # IMAGE_FILE_EXECUTABLE_IMAGE | LARGE_ADDRESS_AWARE, plus IMAGE_FILE_DLL
# SHA-256 of ".net core bundle", which every .NET app host carries; the eight bytes before it hold the
# offset of the bundle header, zero until a single-file publish fills them in.
BUNDLE_SIGNATURE = bytes.fromhex("8b1202b96a612038727b930214d7a03213f5b9e6efae3318ee3b2dce24b36aae")


def pe_image(machine=AMD64, characteristics=EXECUTABLE, data=b"", appended=b""):
    """A minimal PE image: DOS header, PE signature, file header, a PE32+ optional header and one .data
    section of 0x200 bytes that starts with `data`; `appended` follows the image as a bundle would."""
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    optional = struct.pack("<H", 0x20B) + bytes(238)
    header = b"PE\0\0" + struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, len(optional), characteristics)
    section = b".data\0\0\0" + struct.pack("<IIIIIIHHI", 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0xC0000040)
    headers = dos + header + optional + section
    body = data.ljust(0x200, b"\0")
    return headers.ljust(0x200, b"\0") + body + appended


def app_host(bundle_offset):
    return pe_image(data=b"apphost" + struct.pack("<Q", bundle_offset) + BUNDLE_SIGNATURE + b"\0" * 8,
                    appended=b"\x06\0\0\0" + bytes(300))


FIX = ("publish the app with dotnet publish -r win-x64 --self-contained false -p:PublishSingleFile=true "
       "and embed the one .exe it writes")

DLL_REFUSAL = "is a DLL, not a program: embed the app's .exe, not its .dll (" + FIX + ")"

REFUSED = {
    "text file": (b"this is not a program\n" * 10, "is not a Windows program (no PE image): " + FIX),
    "MZ without a PE header": (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x80) + bytes(0x100),
                               "is not a Windows program (no PE image): " + FIX),
    "x86 program": (pe_image(machine=I386), "is a 32-bit x86 program, not x64: " + FIX),
    "ARM64 program": (pe_image(machine=ARM64), "is an ARM64 program, not x64: " + FIX),
    "x64 DLL": (pe_image(characteristics=DLL), DLL_REFUSAL),
    # The app's own managed .dll: IL images are marked x86; the DLL is what its team must hear about.
    "managed app DLL": (pe_image(machine=I386, characteristics=DLL), DLL_REFUSAL),
    "app host without its bundle": (app_host(0), "is a .NET app host without its app (not a single-file bundle; "
                                                 "it would look for its .dll beside it): " + FIX),
    "bundle header past the end": (app_host(1 << 20), "is a damaged single-file bundle (its bundle header lies "
                                                      "beyond the end of the file): " + FIX),
}


def check(path):
    """What the guard itself says about one file: empty when it lets the file through."""
    result = subprocess.run(["cmake", f"-DPAYLOAD={path}", "-P", str(CHECK_SCRIPT)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_release_refuses_every_file_that_cannot_be_the_app_in_one_line_before_building(tmp_path):
    for index, (name, (content, expected)) in enumerate(REFUSED.items()):
        payload = tmp_path / f"Corvane {name}.exe"
        payload.write_bytes(content)
        out = tmp_path / f"out-{index}"
        result = subprocess.run([str(RELEASE_SCRIPT), "--out", str(out), "--payload", str(payload)], cwd="/",
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        assert result.returncode == 2, (name, result.stdout, result.stderr)
        lines = result.stderr.splitlines()
        assert lines == [f"release: payload {payload.name} {expected}"], name
        # Refused before anything was built.
        assert not (out / "build").exists(), name
        assert not (out / RELEASE_EXE).exists(), name


def test_native_x64_programs_and_single_file_bundles_pass(tmp_path):
    bundle = tmp_path / "Corvane.App.exe"
    bundle.write_bytes(app_host(0x400))
    plain = tmp_path / "plain.exe"
    plain.write_bytes(pe_image())
    passing = {
        "demo app": TOOLS_DIR / "Corvane.App.exe",
        "recording test app": TOOLS_DIR / "corvane-test-app.exe",
        "single-file bundle": bundle,
        "native x64 image": plain,
    }
    for name, path in passing.items():
        assert path.is_file(), name
        assert check(path) == "", name


def configure(build, payload):
    return subprocess.run(["cmake", "--preset", "release", "-B", str(build), "-DCORVANE_BUILD_TESTS=OFF",
                           f"-DCORVANE_APP_PAYLOAD={payload}"], cwd=SOURCE_DIR, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=600)


def test_build_setting_refuses_the_file_when_configured_and_when_it_is_replaced_later(tmp_path):
    refusal = ("CORVANE_APP_PAYLOAD: payload Corvane.App.exe is a .NET app host without its app (not a single-file "
               "bundle; it would look for its .dll beside it): " + FIX)

    def refused(result):
        # CMake indents and wraps the message of a failed configuration; the words are what counts.
        return result.returncode != 0 and " ".join(refusal.split()) in " ".join((result.stdout + result.stderr).split())

    payload = tmp_path / "Corvane.App.exe"
    payload.write_bytes(app_host(0))
    assert refused(configure(tmp_path / "refused", payload))

    # A good file passes; replaced by a bad one afterwards, the next build looks at it again before it
    # builds anything.
    payload.write_bytes((TOOLS_DIR / "corvane-test-app.exe").read_bytes())
    build = tmp_path / "replaced"
    accepted = configure(build, payload)
    assert accepted.returncode == 0, accepted.stderr
    payload.write_bytes(app_host(0))
    rebuilt = subprocess.run(["cmake", "--build", str(build), "--target", "build.ninja"], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=600)
    assert refused(rebuilt), rebuilt.stdout + rebuilt.stderr
