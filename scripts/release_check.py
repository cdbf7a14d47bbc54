#!/usr/bin/python3
"""Whether an exe is a given build of the bootstrapper plus an Authenticode signature and nothing else.

Signing changes three things in a PE file: the header checksum, the certificate-table entry of the data
directories and the table itself, appended at the end on an eight-byte boundary (the image is padded
with zeros up to it). The Authenticode digest covers everything else, padding included, so two files
with the same digest are the same build whatever signed them, and the signature's own copy of that
digest says whether the file was changed after it was signed.

  release_check.py adopt RELEASE_EXE SIGNED      SIGNED is RELEASE_EXE with a valid signature and nothing
                                                 else; otherwise one line saying what differs (exit 1)
  release_check.py layout PUBLISHED              a published file is a PE image whose signature, if any,
                                                 stands alone and matches its content (exit 1: why not)
  release_check.py compare PUBLISHED REBUILT [--setting NAME=VALUE ...]
                                                 PUBLISHED is REBUILT plus a signature (exit 1: what differs)
  release_check.py toolchain BOM                 this machine's Debian packages against those the bill of
                                                 materials names; one line per difference
"""
import base64
import hashlib
import json
import pathlib
import re
import subprocess
import sys
import tempfile
import urllib.parse

import pefile

WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
WIN_CERT_REVISION_2_0 = 0x0200
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
DIGESTS = {"1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256", "2.16.840.1.101.3.4.2.2": "sha384",
           "2.16.840.1.101.3.4.2.3": "sha512"}
# The one resource the build embeds the app as (RT_RCDATA, 201).
RT_RCDATA, PAYLOAD_RESOURCE = 10, 201
SYSTEM_ROOTS = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")


class Refusal(Exception):
    """What differs, in one line."""


class Image:
    """The parts of a PE file that signing touches, and its sections."""

    def __init__(self, path):
        self.path = pathlib.Path(path)
        self.data = self.path.read_bytes()
        data = self.data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise Refusal(f"{self.path.name} is not a Windows program (no PE image)")
        header = int.from_bytes(data[0x3C:0x40], "little")
        if data[header:header + 4] != b"PE\0\0":
            raise Refusal(f"{self.path.name} is not a Windows program (no PE image)")
        sections = int.from_bytes(data[header + 6:header + 8], "little")
        optional_size = int.from_bytes(data[header + 20:header + 22], "little")
        optional = header + 24
        magic = int.from_bytes(data[optional:optional + 2], "little")
        directories = optional + (112 if magic == 0x20B else 96)
        self.checksum_at = optional + 64
        self.security_at = directories + 4 * 8
        table, size = (int.from_bytes(data[self.security_at + i:self.security_at + i + 4], "little") for i in (0, 4))
        self.table = (table, size) if table and size else None
        self.sections = []
        first = optional + optional_size
        for index in range(sections):
            entry = first + 40 * index
            name = data[entry:entry + 8].rstrip(b"\0").decode("latin-1")
            raw_size, raw_at = (int.from_bytes(data[entry + i:entry + i + 4], "little") for i in (16, 20))
            self.sections.append((name, raw_at, raw_size))

    def content_end(self):
        """Where the image ends and the signature table begins (the file's end when unsigned)."""
        return self.table[0] if self.table else len(self.data)

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

    def signatures(self):
        """Each WIN_CERTIFICATE of the table as (revision, type, content); checks that the table is the
        file's last thing."""
        if not self.table:
            return []
        at, size = self.table
        if at % 8:
            raise Refusal(f"{self.path.name}: its signature table does not start on an eight-byte boundary")
        if at + size > len(self.data):
            raise Refusal(f"{self.path.name}: its signature table reaches past the end of the file")
        if at + size < len(self.data):
            extra = len(self.data) - at - size
            raise Refusal(f"data beside the signature: {extra} bytes follow the signature table of {self.path.name}")
        entries, position = [], at
        while position < at + size:
            length = int.from_bytes(self.data[position:position + 4], "little")
            revision = int.from_bytes(self.data[position + 4:position + 6], "little")
            kind = int.from_bytes(self.data[position + 6:position + 8], "little")
            if length < 8 or position + length > at + size:
                raise Refusal(f"{self.path.name}: its signature table is damaged")
            entries.append((revision, kind, self.data[position + 8:position + length]))
            position += (length + 7) // 8 * 8
        return entries


# A minimal DER reader: just enough to walk an Authenticode PKCS#7 structure.
def element(data, at):
    """(tag, content start, content end) of the DER element at `at`."""
    tag, first = data[at], data[at + 1]
    start = at + 2
    if first & 0x80:
        size = first & 0x7F
        length = int.from_bytes(data[start:start + size], "big")
        start += size
    else:
        length = first
    if start + length > len(data):
        raise Refusal("the signature is damaged (a DER element runs past its end)")
    return tag, start, start + length


def children(data, start, end):
    items = []
    while start < end:
        tag, content, after = element(data, start)
        items.append((tag, content, after, start))
        start = after
    return items


def oid(data, start, end):
    raw = data[start:end]
    first = raw[0]
    parts, value = [first // 40, first % 40], 0
    for byte in raw[1:]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(map(str, parts))


class Signature:
    """What an Authenticode signature says: the digest of the content it signs, its certificates and
    whether it nests a second signature."""

    def __init__(self, der):
        self.der = der
        _, start, end = element(der, 0)
        content_type, explicit = children(der, start, end)[:2]
        signed_data = children(der, explicit[1], explicit[2])[0]
        parts = children(der, signed_data[1], signed_data[2])
        content_info = parts[2]
        info = children(der, content_info[1], content_info[2])
        if oid(der, info[0][1], info[0][2]) != SPC_INDIRECT_DATA:
            raise Refusal("the signature is not an Authenticode signature of a program")
        indirect = children(der, info[1][1], info[1][2])[0]
        digest_info = children(der, indirect[1], indirect[2])[1]
        algorithm, digest = children(der, digest_info[1], digest_info[2])
        algorithm_oid = children(der, algorithm[1], algorithm[2])[0]
        self.algorithm = DIGESTS.get(oid(der, algorithm_oid[1], algorithm_oid[2]))
        if not self.algorithm:
            raise Refusal("the signature uses a digest algorithm this check does not know")
        self.digest = der[digest[1]:digest[2]]
        self.certificates = []
        signer_infos = parts[-1]
        for tag, first, last, at in parts[3:-1]:
            if tag == 0xA0:
                self.certificates = [der[a:after] for _, _, after, a in children(der, first, last)]
        infos = children(der, signer_infos[1], signer_infos[2])
        self.signers = len(infos)
        self.nested = False
        for _, first, last, _ in infos:
            for tag, attributes_start, attributes_end, _ in children(der, first, last):
                if tag != 0xA1:  # unauthenticated attributes
                    continue
                for _, attribute_start, attribute_end, _ in children(der, attributes_start, attributes_end):
                    kind = children(der, attribute_start, attribute_end)[0]
                    if oid(der, kind[1], kind[2]) == SPC_NESTED_SIGNATURE:
                        self.nested = True

    def roots(self):
        """The self-signed certificates the signature carries, as PEM."""
        pem = []
        for certificate in self.certificates:
            _, start, end = element(certificate, 0)
            tbs = children(certificate, start, end)[0]
            fields = children(certificate, tbs[1], tbs[2])
            if fields[0][0] == 0xA0:
                fields = fields[1:]
            issuer, subject = fields[2], fields[4]
            if certificate[issuer[3]:issuer[2]] == certificate[subject[3]:subject[2]]:
                text = base64.encodebytes(certificate).decode().replace("\n", "")
                lines = [text[i:i + 64] for i in range(0, len(text), 64)]
                pem.append("-----BEGIN CERTIFICATE-----\n" + "\n".join(lines) + "\n-----END CERTIFICATE-----\n")
        return "".join(pem)


def signature_of(image):
    """The file's one signature, checked to stand alone and to match the content it signs; None when the
    file is unsigned."""
    entries = image.signatures()
    if not entries:
        return None
    if len(entries) > 1:
        raise Refusal(f"data beside the signature: the signature table of {image.path.name} holds {len(entries)} "
                      "entries, not one")
    revision, kind, content = entries[0]
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or revision != WIN_CERT_REVISION_2_0:
        raise Refusal(f"data beside the signature: the signature table of {image.path.name} holds an entry of "
                      f"type {kind:#06x}, not an Authenticode signature")
    try:
        _, _, end = element(content, 0)
        signature = Signature(content[:end])
    except (IndexError, ValueError) as damaged:
        raise Refusal(f"the signature of {image.path.name} is damaged ({damaged})") from None
    if any(content[end:]):
        raise Refusal(f"data beside the signature: {image.path.name} carries {len(content) - end} bytes after the "
                      "signature inside its table")
    if signature.signers != 1 or signature.nested:
        raise Refusal(f"data beside the signature: {image.path.name} carries a second signature beside the first")
    if signature.digest != image.authenticode_digest(signature.algorithm):
        raise Refusal(f"changed bytes: {image.path.name} was changed after it was signed (its content no longer "
                      "matches its own signature)")
    return signature


def verify_chain(image, signature):
    """osslsigncode's verification of the signature against the roots it carries itself (and this
    machine's CA certificates, for a chain that leaves its public root out)."""
    known = signature.roots() + (SYSTEM_ROOTS.read_text(encoding="utf-8", errors="replace")
                                 if SYSTEM_ROOTS.is_file() else "")
    if not known:
        raise Refusal(f"the signature of {image.path.name} does not verify against its own certificate chain: it "
                      "carries no root, and this machine has no CA certificates to end it in")
    with tempfile.NamedTemporaryFile("w", suffix=".pem") as roots:
        roots.write(known)
        roots.flush()
        result = subprocess.run(["osslsigncode", "verify", "-in", str(image.path), "-CAfile", roots.name,
                                 "-TSA-CAfile", roots.name], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True)
    output = result.stdout + result.stderr
    if result.returncode == 0 and re.search(r"^Signature verification: ok", output, re.MULTILINE):
        return
    reason = re.search(r"Verify error: ?(.+)", output) or re.search(r"^.*(?:error|failed).*$", output, re.MULTILINE | re.IGNORECASE)
    reason = (reason.group(1) if reason.groups() else reason.group(0)).strip() if reason else "osslsigncode refused it"
    raise Refusal(f"the signature of {image.path.name} does not verify against its own certificate chain: {reason}")


def first_difference(published, rebuilt):
    mine, theirs = rebuilt.normalised_content(), published.normalised_content()
    differing = [i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b]
    if len(mine) != len(theirs):
        return f"{len(theirs)} bytes of program against {len(mine)} in this build"
    count = "1 byte differs" if len(differing) == 1 else f"{len(differing)} bytes differ"
    return f"{count}, the first at offset {differing[0]:#x} ({published.section_at(differing[0])})"


def payload(image):
    """The embedded app (RCDATA 201), or None."""
    pe = pefile.PE(data=image.data, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        if kind.id != RT_RCDATA:
            continue
        for entry in kind.directory.entries:
            if entry.id == PAYLOAD_RESOURCE:
                data = entry.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


def holds_setting(image, value):
    """Whether the image carries a build setting's text as the bootstrapper does: a whole wide string."""
    wide = value.encode("utf-16-le")
    for match in re.finditer(re.escape(wide + b"\0\0"), image.data):
        before = image.data[max(0, match.start() - 2):match.start()]
        if len(before) < 2 or before[1] != 0 or not (chr(before[0]).isalnum() or chr(before[0]) in ".-"):
            return True
    return False


def difference(published, rebuilt, settings=()):
    """(what kind of difference, the details) between a file that is not this build and this build, the
    most telling first."""
    theirs, mine = payload(published), payload(rebuilt)
    if theirs != mine:
        described = f"an app with SHA-256 {hashlib.sha256(theirs).hexdigest()}" if theirs else "no app"
        return "another payload", (f"{published.path.name} embeds {described}; this build's app has SHA-256 "
                                   f"{hashlib.sha256(mine).hexdigest()}")
    for setting in settings:
        name, _, value = setting.partition("=")
        if value and not holds_setting(published, value):
            return "another setting", f"{published.path.name} was not built with {name}={value}"
    return "changed bytes", f"{published.path.name} is not this build ({first_difference(published, rebuilt)})"


def adopt(release_exe, signed):
    release, candidate = Image(release_exe), Image(signed)
    signature = signature_of(candidate)
    if signature is None:
        raise Refusal(f"unsigned: {candidate.path.name} carries no Authenticode signature")
    if release.authenticode_digest(signature.algorithm) != signature.digest:
        kind, details = difference(candidate, release)
        raise Refusal(f"another build: {details.replace('this build', 'this release')}")
    verify_chain(candidate, signature)


def compare(published, rebuilt, settings):
    published, rebuilt = Image(published), Image(rebuilt)
    signature = signature_of(published)
    if published.normalised_content() != rebuilt.normalised_content():
        kind, details = difference(published, rebuilt, settings)
        hint = {"another payload": " (give the app it was built with: --payload)",
                "another setting": " (give the setting it was built with: -DNAME=VALUE)"}.get(kind, "")
        raise Refusal(f"{kind}: {details}{hint}")
    return "with a signature and nothing else" if signature else "unsigned"


def package_versions(document):
    """Debian package name -> version of every package the bill of materials names by its purl."""
    named = {}
    components = list(document.get("components", []))
    tools = document.get("metadata", {}).get("tools", {})
    if isinstance(tools, dict):
        components += tools.get("components", [])
    for component in components:
        match = re.match(r"pkg:deb/[^/]+/([^@?]+)@([^?#]+)", component.get("purl", ""))
        if match:
            named[urllib.parse.unquote(match.group(1))] = urllib.parse.unquote(match.group(2))
    return named


def installed_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else None


def toolchain(bom):
    document = json.loads(pathlib.Path(bom).read_text(encoding="utf-8"))
    named = package_versions(document)
    if not named:
        raise Refusal(f"{pathlib.Path(bom).name} names no Debian package: it cannot say which tools built the file")
    differences = []
    for package, version in sorted(named.items()):
        here = installed_version(package)
        if here != version:
            differences.append(f"{package} {version} built the published file; "
                               + (f"this machine has {here}" if here else "this machine does not have it"))
    return differences, len(named)


def main(argv):
    try:
        if len(argv) == 4 and argv[1] == "adopt":
            adopt(argv[2], argv[3])
        elif len(argv) == 3 and argv[1] == "layout":
            signature_of(Image(argv[2]))
        elif len(argv) >= 4 and argv[1] == "compare":
            settings = [a.removeprefix("--setting=") for a in argv[4:]]
            print(compare(argv[2], argv[3], settings))
        elif len(argv) == 3 and argv[1] == "toolchain":
            differences, count = toolchain(argv[2])
            print("\n".join(differences) or f"the same {count} Debian packages as the published bill of materials")
            return 1 if differences else 0
        else:
            sys.stderr.write(__doc__)
            return 2
    except Refusal as refusal:
        print(refusal)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
