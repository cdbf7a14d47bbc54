"""What the bootstrapper image carries: headers, manifest, icon, version record and payload. Every check runs
on the image the tests use and on a signed release, the file that ships."""
import hashlib
import struct
import xml.etree.ElementTree as ET
import zlib

import pefile
import pytest

from conftest import VERSION, BOOTSTRAPPER, TOOLS_DIR

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_RCDATA, RT_MANIFEST = 3, 14, 16, 10, 24
LANG_EN_US = 0x409


@pytest.fixture(scope="module", params=["test build", "signed release"])
def image_path(request):
    if request.param == "test build":
        return BOOTSTRAPPER
    return request.getfixturevalue("releases")["signed"].exe


@pytest.fixture(scope="module")
def pe(image_path):
    image = pefile.PE(str(image_path))
    yield image
    image.close()


def resource(pe, type_id, res_id):
    """(language, bytes) of one resource entry."""
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != type_id:
            continue
        for item in entry.directory.entries:
            if item.id == res_id:
                lang = item.directory.entries[0]
                data = lang.data.struct
                return lang.id, pe.get_data(data.OffsetToData, data.Size)
    pytest.fail(f"resource type {type_id} id {res_id} missing")


def test_image_is_a_relocatable_hardened_64_bit_gui_program(pe):
    assert pe.FILE_HEADER.Machine == 0x8664
    assert pe.OPTIONAL_HEADER.Magic == 0x20B  # PE32+
    assert pe.OPTIONAL_HEADER.Subsystem == 2  # Windows GUI
    assert (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion) == (6, 0)
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit in {"high-entropy ASLR": 0x20, "dynamic base": 0x40, "DEP": 0x100,
                      "terminal-server aware": 0x8000}.items():
        assert flags & bit, name
    assert not pe.FILE_HEADER.Characteristics & 0x1, "relocations stripped"
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    assert reloc.Size > 0


# Windows 10's KnownDLLs: always mapped from System32, never looked for beside the exe.
KNOWN_DLLS = {"advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus", "imagehlp",
              "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4",
              "sechost", "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32", "ws2_32"}


def static_imports(pe):
    return {entry.dll.decode().lower().removesuffix(".dll") for entry in pe.DIRECTORY_ENTRY_IMPORT}


def test_image_needs_no_compiler_runtime_dlls(pe):
    for dll in static_imports(pe):
        assert not dll.startswith(("libstdc++", "libgcc", "libwinpthread")), dll


@pytest.fixture(scope="module", params=["bootstrapper", "embedded demo app"])
def shipped_pe(request, pe):
    """Every exe that ships: the bootstrapper, and the demo app it carries unless a company embeds its own."""
    if request.param == "bootstrapper":
        return pe
    app = pefile.PE(str(TOOLS_DIR / "Corvane.App.exe"))
    request.addfinalizer(app.close)
    return app


def test_static_imports_are_known_dlls_only(shipped_pe):
    # The exe runs from a Downloads folder; any other DLL in its import table would be looked for there
    # first, before a line of ours could stop it. The rest is delay-loaded after the search is restricted.
    assert static_imports(shipped_pe) <= KNOWN_DLLS, static_imports(shipped_pe) - KNOWN_DLLS


def test_shipped_exes_are_hardened_and_no_section_is_both_writable_and_executable(shipped_pe):
    writable, executable = 0x80000000, 0x20000000
    both = [s.Name.rstrip(b"\0").decode() for s in shipped_pe.sections
            if s.Characteristics & writable and s.Characteristics & executable]
    assert both == []
    flags = shipped_pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit in {"high-entropy ASLR": 0x20, "dynamic base": 0x40, "DEP": 0x100}.items():
        assert flags & bit, name


def test_manifest(pe):
    lang, data = resource(pe, RT_MANIFEST, 1)
    assert lang == LANG_EN_US
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3"}
    root = ET.fromstring(data)
    identity = root.find("v1:assemblyIdentity", ns)
    assert identity.attrib == {"version": "1.0.0.0", "name": "Corvane.Lite", "processorArchitecture": "amd64",
                               "type": "win32"}
    controls = root.find("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", ns)
    assert controls.attrib == {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                               "processorArchitecture": "amd64", "publicKeyToken": "6595b64144ccf1df",
                               "language": "*"}
    level = root.find(".//v3:requestedExecutionLevel", ns)
    assert level.attrib == {"level": "asInvoker", "uiAccess": "false"}
    dpi = root.find(".//{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
    long_paths = root.find(".//{http://schemas.microsoft.com/SMI/2016/WindowsSettings}longPathAware")
    assert dpi is not None and dpi.text == "true"
    assert long_paths is not None and long_paths.text == "true"


def test_icon_group_holds_32_and_16_pixel_images_of_32_bits(pe):
    lang, group = resource(pe, RT_GROUP_ICON, 101)
    assert lang == LANG_EN_US
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    assert (kind, count) == (1, 2)
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    # width, height, colours, reserved, planes, bits, bytes, id
    assert [(e[0], e[1], e[5], e[7]) for e in entries] == [(32, 32, 32, 1), (16, 16, 32, 2)]
    for icon_id, size in ((1, 32), (2, 16)):
        icon_lang, image = resource(pe, RT_ICON, icon_id)
        assert icon_lang == LANG_EN_US
        header_size, width, double_height, _, bits = struct.unpack_from("<IiiHH", image, 0)
        assert (header_size, width, double_height, bits) == (40, size, 2 * size, 32)


def test_version_record(pe):
    lang, _ = resource(pe, RT_VERSION, 1)
    assert lang == LANG_EN_US
    fixed = pe.VS_FIXEDFILEINFO[0]
    major, minor, patch = map(int, VERSION.split("."))
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (major << 16 | minor, patch << 16)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (major << 16 | minor, patch << 16)
    assert fixed.FileOS == 0x40004
    assert fixed.FileType == 1
    assert fixed.FileFlags & fixed.FileFlagsMask == 0
    tables = [t for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for t in info.StringTable]
    assert [t.LangID for t in tables] == [b"040904B0"]
    strings = {k.decode(): v.decode("utf-8") for k, v in tables[0].entries.items()}
    assert strings == {
        "FileDescription": "Corvane Lite - 轻量版",
        "FileVersion": VERSION + ".0",
        "ProductName": "Corvane Lite",
        "ProductVersion": VERSION,
        "OriginalFilename": f"Corvane_v{VERSION}_Lite.exe",
    }
    translations = [var.entry for info in pe.FileInfo[0] if info.Key == b"VarFileInfo" for var in info.Var]
    assert translations == [{b"Translation": "0x0409 0x04b0"}]


def test_payload_is_embedded_byte_for_byte_with_its_digest(pe, image_path):
    payload = (TOOLS_DIR / "Corvane.App.exe").read_bytes()
    lang, data = resource(pe, RT_RCDATA, 201)
    assert data == payload
    # The digest the bootstrapper checks its cache against is the digest of these very bytes.
    digest = hashlib.sha256(payload).hexdigest()
    assert digest.encode("utf-16-le") in image_path.read_bytes()


def section_names(pe, image: bytes):
    """Section names as the linker meant them: a name longer than eight characters is stored as "/N", an
    offset into the COFF string table behind the symbols."""
    strings = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    names = []
    for section in pe.sections:
        name = section.Name.rstrip(b"\0")
        if name.startswith(b"/"):
            start = strings + int(name[1:])
            name = image[start:image.index(b"\0", start)]
        names.append(name.decode())
    return names


def test_image_is_stripped_and_names_its_debug_file(pe, image_path):
    names = section_names(pe, image_path.read_bytes())
    assert not [name for name in names if name.startswith(".debug")], names
    assert pe.FILE_HEADER.NumberOfSymbols == 0
    # The debug link: the debug file's name, padded to four bytes, then the CRC-32 of that file's bytes.
    link = pe.sections[names.index(".gnu_debuglink")].get_data()
    name = link[:link.index(b"\0")].decode()
    assert name == image_path.name + ".debug"
    crc_offset = (len(name) + 1 + 3) // 4 * 4
    assert struct.unpack_from("<I", link, crc_offset)[0] == zlib.crc32(image_path.with_name(name).read_bytes())
