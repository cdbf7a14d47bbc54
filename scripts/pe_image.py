"""The layout of a PE file as signing sees it.

Signing changes three things in a PE file: the header checksum, the certificate-table entry of the data
directories and the table itself, appended at the end on an eight-byte boundary (the image is padded
with zeros up to it). The Authenticode digest covers everything else, padding included, so two files
with the same digest are the same build whatever signed them.
"""
import hashlib
import pathlib
import re

import pefile

WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
WIN_CERT_REVISION_2_0 = 0x0200
# The one resource the build embeds the app as (RT_RCDATA, 201).
RT_RCDATA, PAYLOAD_RESOURCE = 10, 201


class Refusal(Exception):
    """What differs, in one line."""


def number(data, at, size):
    return int.from_bytes(data[at:at + size], "little")


class Image:
    """The parts of a PE file that signing touches, and its sections."""

    def __init__(self, path):
        self.path = pathlib.Path(path)
        self.name = self.path.name
        self.data = self.path.read_bytes()
        data = self.data
        not_pe = Refusal(f"{self.name} is not a Windows program (no PE image)")
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise not_pe
        header = number(data, 0x3C, 4)
        if data[header:header + 4] != b"PE\0\0":
            raise not_pe
        sections = number(data, header + 6, 2)
        optional_size = number(data, header + 20, 2)
        optional = header + 24
        magic = number(data, optional, 2)
        if magic not in (0x10B, 0x20B):
            raise not_pe
        directories = optional + (112 if magic == 0x20B else 96)
        self.checksum_at = optional + 64
        self.security_at = directories + 4 * 8
        first = optional + optional_size
        if self.security_at + 8 > first or first + 40 * sections > len(data):
            raise Refusal(f"{self.name} is not a Windows program (its headers are cut short)")
        table, size = number(data, self.security_at, 4), number(data, self.security_at + 4, 4)
        self.table = (table, size) if table or size else None
        self.sections = []
        for index in range(sections):
            entry = first + 40 * index
            name = data[entry:entry + 8].rstrip(b"\0").decode("latin-1")
            self.sections.append((name, number(data, entry + 20, 4), number(data, entry + 16, 4)))

    def content_end(self):
        """Where the image ends and the signature table begins (the file's end when unsigned)."""
        return min(self.table[0], len(self.data)) if self.table else len(self.data)

    def authenticode_digest(self, algorithm):
        """The digest a signature over this image carries: the image without its checksum, its
        certificate-table entry and the table, padded with zeros to a multiple of eight bytes as a signing
        tool pads it before appending the table."""
        data, end = self.data, self.content_end()
        digest = hashlib.new(algorithm)
        digest.update(data[:self.checksum_at])
        digest.update(data[self.checksum_at + 4:self.security_at])
        digest.update(data[self.security_at + 8:end])
        digest.update(bytes(-end % 8))
        return digest.digest()

    def normalised_content(self):
        """The image as it was before signing: checksum and table entry zero, no table, padding to eight."""
        content = bytearray(self.data[:self.content_end()])
        content[self.checksum_at:self.checksum_at + 4] = bytes(4)
        content[self.security_at:self.security_at + 8] = bytes(8)
        return bytes(content) + bytes(-len(content) % 8)

    def section_at(self, offset):
        for name, raw_at, raw_size in self.sections:
            if raw_at <= offset < raw_at + raw_size:
                return f"section {name}"
        return "the headers" if offset < min((s[1] for s in self.sections if s[1]), default=0) else "data after the sections"

    def certificate_entry(self):
        """The certificate table's one WIN_CERTIFICATE as (its content, the bytes after it up to the table's
        end), or None when the file is unsigned. The table must be the file's last thing, start on an
        eight-byte boundary and hold exactly one Authenticode entry; what the content holds is for the
        caller to judge, since a signing tool may pad it to the eight-byte boundary."""
        if not self.table:
            return None
        at, size = self.table
        name = self.name
        if not at or not size:
            raise Refusal(f"{name}: its certificate-table entry is damaged (offset {at:#x}, size {size})")
        if at % 8:
            raise Refusal(f"{name}: its signature table does not start on an eight-byte boundary")
        if at < self.security_at + 8:
            raise Refusal(f"{name}: its signature table overlaps the headers")
        if at + size > len(self.data):
            raise Refusal(f"{name}: its signature table reaches past the end of the file")
        if at + size < len(self.data):
            raise Refusal(f"data beside the signature: {len(self.data) - at - size} bytes follow the signature table "
                          f"of {name}")
        if size < 8:
            raise Refusal(f"{name}: its signature table is damaged")
        length, revision, kind = number(self.data, at, 4), number(self.data, at + 4, 2), number(self.data, at + 6, 2)
        if length < 8 or length > size:
            raise Refusal(f"{name}: its signature table is damaged (an entry of {length} bytes in a table of {size})")
        if (length + 7) // 8 * 8 < size:
            raise Refusal(f"data beside the signature: the signature table of {name} holds more than one entry")
        if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or revision != WIN_CERT_REVISION_2_0:
            raise Refusal(f"data beside the signature: the signature table of {name} holds an entry of type "
                          f"{kind:#06x}, revision {revision:#06x}, not an Authenticode signature")
        return self.data[at + 8:at + length], self.data[at + length:at + size]


def first_difference(published, rebuilt):
    mine, theirs = rebuilt.normalised_content(), published.normalised_content()
    if len(mine) != len(theirs):
        return f"{len(theirs)} bytes of program against {len(mine)} in this build"
    differing = [i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b]
    if not differing:
        return "the same bytes, signed differently"
    count = "1 byte differs" if len(differing) == 1 else f"{len(differing)} bytes differ"
    return f"{count}, the first at offset {differing[0]:#x} ({published.section_at(differing[0])})"


def payload(image):
    """The embedded app (RCDATA 201), or None, also when the resources cannot be read."""
    try:
        pe = pefile.PE(data=image.data, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for kind in root.entries if root else []:
            if kind.id != RT_RCDATA or not hasattr(kind, "directory"):
                continue
            for entry in kind.directory.entries:
                if entry.id == PAYLOAD_RESOURCE and hasattr(entry, "directory") and entry.directory.entries:
                    data = entry.directory.entries[0].data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    except (pefile.PEFormatError, AttributeError, IndexError, ValueError):
        return None
    return None


def holds_setting(image, value):
    """Whether the image carries a build setting's text as the bootstrapper does: a whole wide string."""
    wide = value.encode("utf-16-le")
    for match in re.finditer(re.escape(wide + b"\0\0"), image.data):
        before = image.data[max(0, match.start() - 2):match.start()]
        if len(before) < 2 or before[1] != 0 or not (chr(before[0]).isalnum() or chr(before[0]) in ".-"):
            return True
    return False


def describe_app(app):
    return f"an app with SHA-256 {hashlib.sha256(app).hexdigest()}" if app is not None else "no app"


def difference(published, rebuilt, settings=()):
    """(what kind of difference, the details) between a file that is not this build and this build, the
    most telling first."""
    theirs, mine = payload(published), payload(rebuilt)
    if theirs != mine:
        mine_described = (f"this build's app has SHA-256 {hashlib.sha256(mine).hexdigest()}" if mine is not None
                          else "this build embeds no app")
        return "another payload", f"{published.name} embeds {describe_app(theirs)}; {mine_described}"
    for setting in settings:
        name, _, value = setting.partition("=")
        if value and not holds_setting(published, value):
            return "another setting", f"{published.name} was not built with {name}={value}"
    return "changed bytes", f"{published.name} is not this build ({first_difference(published, rebuilt)})"
