"""An Authenticode signature, read with the strict DER reader and judged as the release takes it: one
signer, a digest of SHA-256 or stronger, no unauthenticated attribute but one time stamp, no certificate
beyond the chains of the signer and its time stamp, and no bytes after it beyond the PE format's
eight-byte alignment. Whether the signature holds, cryptographically and under which trust anchor, is
osslsigncode's verification against the CA certificates given, never against roots the file carries.
"""
import functools
import pathlib
import re
import subprocess

import der
from pe_image import Refusal

SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"  # an Authenticode time stamp
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
TIME_STAMPS = (COUNTER_SIGNATURE, RFC3161_TIME_STAMP)
ORGANIZATION = "2.5.4.10"
STRONG_DIGESTS = {"2.16.840.1.101.3.4.2.1": "sha256", "2.16.840.1.101.3.4.2.2": "sha384",
                  "2.16.840.1.101.3.4.2.3": "sha512"}
WEAK_DIGESTS = {"1.3.14.3.2.26": "SHA-1", "1.2.840.113549.2.5": "MD5"}
NAME_ATTRIBUTES = {"2.5.4.3": "CN", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.6": "C", "2.5.4.7": "L",
                   "2.5.4.8": "ST", "2.5.4.9": "STREET", "2.5.4.5": "serialNumber",
                   "1.2.840.113549.1.9.1": "emailAddress", "2.5.4.97": "organizationIdentifier",
                   "1.3.6.1.4.1.311.60.2.1.3": "jurisdictionC", "2.5.4.15": "businessCategory"}
SYSTEM_CA = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")


def text_of(value):
    """A directory string as Windows reads it into a wide string."""
    codecs = {0x0C: "utf-8", 0x13: "latin-1", 0x16: "latin-1", 0x14: "latin-1", 0x1E: "utf-16-be",
              0x1C: "utf-32-be"}
    if value.tag not in codecs:
        raise der.DerError(f"a name holds a value of tag {value.tag:#04x}, not a string")
    return value.content.decode(codecs[value.tag], errors="replace")


def name_attributes(name):
    """(OID, text) of each attribute of an X.509 Name, in order."""
    name.expect(der.SEQUENCE, "a name")
    attributes = []
    for relative in name.children():
        relative.expect(der.SET, "a part of a name")
        for attribute in relative.children():
            kind, value = attribute.expect(der.SEQUENCE, "a name attribute").fields(der.OID, None, what="a name attribute")
            attributes.append((der.object_identifier(kind), text_of(value)))
    return attributes


def name_text(name):
    return ", ".join(f"{NAME_ATTRIBUTES.get(kind, kind)}={value}" for kind, value in name_attributes(name))


class Certificate:
    def __init__(self, element):
        self.der = element.encoded
        tbs, _, _ = element.expect(der.SEQUENCE, "a certificate").fields(der.SEQUENCE, der.SEQUENCE, der.BIT_STRING,
                                                                          what="a certificate")
        fields = tbs.children()
        if fields and fields[0].tag == der.context(0):
            fields = fields[1:]
        serial, _, issuer, _, subject, _ = tbs_fields = (fields + [None] * 6)[:6]
        if any(f is None for f in tbs_fields):
            raise der.DerError("a certificate is cut short")
        der.integer_value(serial, "a certificate's serial number")
        self.serial = serial.content
        self.issuer, self.subject = issuer.encoded, subject.encoded
        self.issuer_text, self.subject_text = name_text(issuer), name_text(subject)
        self.organizations = [value for kind, value in name_attributes(subject) if kind == ORGANIZATION]

    def self_signed(self):
        return self.issuer == self.subject


def signer_identity(signer_info, what):
    """(issuer DER, serial bytes) that a SignerInfo names its certificate by."""
    identity = signer_info.children()[1].expect(der.SEQUENCE, f"{what}'s issuer and serial number")
    issuer, serial = identity.fields(der.SEQUENCE, der.INTEGER, what=f"{what}'s issuer and serial number")
    return issuer.encoded, serial.content


def digest_name(algorithm, what):
    kind = der.object_identifier(algorithm.expect(der.SEQUENCE, what).fields(der.OID, ..., what=what)[0], what)
    if kind in WEAK_DIGESTS:
        raise Refusal(f"a {WEAK_DIGESTS[kind]} signature: {{name}} is signed with {WEAK_DIGESTS[kind]}; a release "
                      "takes SHA-256 or stronger")
    if kind not in STRONG_DIGESTS:
        raise Refusal(f"{{name}}: its signature uses a digest algorithm ({kind}) that this check does not know")
    return STRONG_DIGESTS[kind]


class Signature:
    """What an Authenticode signature says and carries, read strictly."""

    def __init__(self, data, name):
        self.name = name
        try:
            self._read(data)
        except Refusal as refusal:
            raise Refusal(str(refusal).replace("{name}", name)) from None
        except der.DerError as damaged:
            raise Refusal(f"the signature of {name} is damaged ({damaged})") from None

    def _read(self, data):
        info = der.read(data, tag=der.SEQUENCE, what="the signature")
        self.length = info.end
        kind, explicit = info.fields(der.OID, der.context(0), what="the signature")
        if der.object_identifier(kind) != SIGNED_DATA:
            raise Refusal("{name}: its signature is not a PKCS#7 SignedData")
        (signed_data,) = explicit.fields(der.SEQUENCE, what="the signature's content")
        parts = signed_data.children()
        if len(parts) < 4:
            raise der.DerError("the SignedData is cut short")
        version, algorithms, content, *middle, signer_infos = parts
        der.integer_value(version, "the SignedData's version")
        algorithms.expect(der.SET, "the SignedData's digest algorithms")
        signer_infos.expect(der.SET, "the SignedData's signer infos")
        for algorithm in algorithms.children():
            digest_name(algorithm, "a digest algorithm")

        content_kind, content_value = content.expect(der.SEQUENCE, "the signed content").fields(
            der.OID, der.context(0), what="the signed content")
        if der.object_identifier(content_kind) != SPC_INDIRECT_DATA:
            raise Refusal("{name}: its signature is not an Authenticode signature of a program")
        (indirect,) = content_value.fields(der.SEQUENCE, what="the Authenticode content")
        _, digest_info = indirect.fields(der.SEQUENCE, der.SEQUENCE, what="the Authenticode content")
        algorithm, digest = digest_info.fields(der.SEQUENCE, der.OCTET_STRING, what="the file's digest")
        self.algorithm = digest_name(algorithm, "the file's digest algorithm")
        self.digest = digest.content

        self.certificates = []
        for item in middle:
            if item.tag == der.context(0):
                self.certificates = [Certificate(c) for c in item.children()]
            elif item.tag == der.context(1):
                raise Refusal("data beside the signature: {name} carries revocation lists in its signature")
            else:
                raise der.DerError(f"the SignedData holds an element of tag {item.tag:#04x}")

        signers = signer_infos.children()
        if len(signers) != 1:
            raise Refusal(f"data beside the signature: {{name}} carries {len(signers)} signers, not one")
        signer = signers[0].expect(der.SEQUENCE, "the signer info")
        fields = signer.children()
        if len(fields) < 5:
            raise der.DerError("the signer info is cut short")
        der.integer_value(fields[0], "the signer info's version")
        self.signer = signer_identity(signer, "the signer")
        digest_name(fields[2], "the signer's digest algorithm")
        rest = fields[3:]
        if rest[0].tag == der.context(0):
            rest = rest[1:]
        if len(rest) < 2:
            raise der.DerError("the signer info is cut short")
        rest[0].expect(der.SEQUENCE, "the signer's signature algorithm")
        rest[1].expect(der.OCTET_STRING, "the signer's signature value")
        unauthenticated = rest[2:]
        if len(unauthenticated) > 1 or (unauthenticated and unauthenticated[0].tag != der.context(1)):
            raise der.DerError("the signer info holds more than its parts")
        self.stamp_signer = None
        self.stamped = False
        attributes = unauthenticated[0].children() if unauthenticated else []
        stamps = 0
        for attribute in attributes:
            kind, values = attribute.expect(der.SEQUENCE, "an attribute").fields(der.OID, der.SET, what="an attribute")
            kind = der.object_identifier(kind)
            values = values.children()
            if kind == SPC_NESTED_SIGNATURE:
                raise Refusal("data beside the signature: {name} carries a second signature beside the first")
            if kind not in TIME_STAMPS:
                raise Refusal(f"data beside the signature: {{name}} carries an unauthenticated attribute ({kind}) "
                              "that is not a time stamp")
            stamps += len(values)
            if len(values) != 1 or stamps > 1:
                raise Refusal("data beside the signature: {name} carries more than one time stamp")
            (value,) = values
            value.expect(der.SEQUENCE, "the time stamp")
            self.stamped = True
            if kind == COUNTER_SIGNATURE:
                self.stamp_signer = signer_identity(value, "the time stamp's signer")
        self.leaf = self.certificate_named(self.signer)
        if self.leaf is None:
            raise Refusal("{name}: its signature does not carry the signer's certificate")
        on_chains = self.chain(self.leaf)
        if self.stamp_signer:
            stamper = self.certificate_named(self.stamp_signer)
            if stamper:
                on_chains += self.chain(stamper)
        extra = [c for c in self.certificates if not any(c is kept for kept in on_chains)]
        if extra:
            raise Refusal(f"data beside the signature: {{name}} carries {len(extra)} certificate"
                          f"{'s' if len(extra) > 1 else ''} beyond its signer's chain ({extra[0].subject_text})")

    def certificate_named(self, identity):
        issuer, serial = identity
        return next((c for c in self.certificates if c.issuer == issuer and c.serial == serial), None)

    def chain(self, certificate):
        """The certificate and those the signature carries that issued it, up to a self-signed one."""
        chain = [certificate]
        while not chain[-1].self_signed():
            issuer = next((c for c in self.certificates if c.subject == chain[-1].issuer
                           and not any(c is known for known in chain)), None)
            if issuer is None:
                break
            chain.append(issuer)
        return chain


def read_signature(image):
    """The file's one signature, read and checked to stand alone, or None when the file is unsigned."""
    entry = image.certificate_entry()
    if entry is None:
        return None
    content, after = entry
    signature = Signature(content, image.name)
    trailing = content[signature.length:] + after
    # A signing tool pads the PKCS#7 with zeros to the eight-byte boundary the table's entries keep.
    alignment = -(8 + signature.length) % 8
    if len(trailing) > alignment:
        raise Refusal(f"data beside the signature: {image.name} carries {len(trailing) - alignment} bytes after the "
                      "signature inside its table, beyond the eight-byte alignment")
    if any(trailing):
        raise Refusal(f"data beside the signature: {image.name} carries bytes other than zeros after the signature "
                      "inside its table")
    return signature


@functools.cache
def osslsigncode_options():
    """-ignore-cdp where this osslsigncode has it: the bootstrapper checks no revocation either, and a
    verdict must not hang on a download."""
    listed = subprocess.run(["osslsigncode", "-help"], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return ["-ignore-cdp"] if "-ignore-cdp" in listed.stdout + listed.stderr else []


class Verdict:
    """What osslsigncode said of a signature: whether it holds, why not, and its time stamp."""

    def __init__(self, path, ca_file):
        result = subprocess.run(["osslsigncode", "verify", *osslsigncode_options(), "-CAfile", str(ca_file),
                                 "-TSA-CAfile", str(ca_file), "-in", str(path)], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, errors="replace", timeout=300)
        self.output = output = result.stdout + result.stderr
        # Anchored: the time-stamping authority's own "... Signature verification: ok" line is not the verdict.
        self.holds = result.returncode == 0 and bool(re.search(r"^Signature verification: ok$", output, re.MULTILINE))
        # osslsigncode 2.9 says "Timestamp time:", Debian 12's 2.5 "The signature is timestamped:".
        stamp = re.search(r"^\s*(?:Timestamp time|The signature is timestamped): (.+)", output, re.MULTILINE)
        self.stamp = stamp.group(1).strip() if stamp else None
        # A time stamp that does not hold leaves the signature judged at today's date, and osslsigncode's
        # verdict ok: the stamp's own line says whether it held.
        self.stamp_holds = bool(re.search(r"^Timestamp Server Signature verification: ok$", output, re.MULTILINE))
        self.reason = self.reason_in(output) or f"osslsigncode refused it (exit status {result.returncode})"

    @staticmethod
    def reason_in(output):
        """The most telling line of osslsigncode's report: its own error, else OpenSSL's last one."""
        own = re.search(r"^\s*(?:Verify error|Error): ?(.+)", output, re.MULTILINE)
        if own:
            # osslsigncode 2.9 puts this before the chain's fault, which 2.5 gives alone: one wording on both.
            return own.group(1).strip().removeprefix("Certificate not found in local repository: ")
        # Debian 12's osslsigncode 2.5 gives the chain's fault only at the end of OpenSSL's error line.
        chain = re.search(r"^[0-9A-F]+:error:.*:Verify error: ?(.+)$", output, re.MULTILINE)
        if chain:
            return chain.group(1).strip()
        openssl = re.findall(r"^[0-9A-F]+:error:[0-9A-F]+:[^:]*:([^:]+):([^:]+):", output, re.MULTILINE)
        if openssl:
            function, reason = openssl[-1]
            return f"{reason} ({function})"
        other = re.search(r"^(?!Engine|Failed$|Warning).*(?:error|failed|mismatch|invalid).*$", output,
                          re.MULTILINE | re.IGNORECASE)
        return other.group(0).strip() if other else None


def organization_matches(found, expected):
    """The bootstrapper's comparison: the whole name, with only 'A' to 'Z' folded to lower case, so that
    look-alike letters of other scripts never pass."""
    fold = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")
    return found.translate(fold) == expected.translate(fold)


def anchor_description(ca_file):
    ca_file = pathlib.Path(ca_file)
    return ("this machine's CA certificates" if ca_file == SYSTEM_CA else f"the CA certificates in {ca_file}")


def judge(image, signature, ca_file, expected_signer):
    """Checks that the signature holds under the trust anchors of `ca_file`, and (when given) that the
    signing certificate names the expected organization. Returns the lines that describe the signer and
    a list of what was checked."""
    name, leaf = image.name, signature.leaf
    signer = f'"{leaf.subject_text}"'
    if not pathlib.Path(ca_file).is_file():
        raise OSError(f"no CA certificates at {ca_file}")
    verdict = Verdict(image.path, ca_file)
    if not verdict.holds:
        raise Refusal(f"the signature does not verify: {name} is signed by {signer}, issued by "
                      f'"{leaf.issuer_text}", and under {anchor_description(ca_file)} osslsigncode says: '
                      f"{verdict.reason}")
    if signature.stamped and not (verdict.stamp_holds and verdict.stamp):
        raise Refusal(f"the time stamp does not verify: {name} carries a time stamp that does not hold under "
                      f"{anchor_description(ca_file)}: {verdict.reason_in(verdict.output) or 'osslsigncode could not read it'}")
    checked = [f"the signature under {anchor_description(ca_file)}"]
    if expected_signer is not None:
        if len(leaf.organizations) != 1 or not organization_matches(leaf.organizations[0], expected_signer):
            named = (f"the organization \"{leaf.organizations[0]}\"" if len(leaf.organizations) == 1 else
                     "no organization" if not leaf.organizations else f"{len(leaf.organizations)} organizations")
            raise Refusal(f"another signer: {name} is signed by {signer}, which names {named}, not "
                          f"\"{expected_signer}\"")
        checked.append(f"the signer's organization \"{expected_signer}\"")
    lines = [f"Signer:  {leaf.subject_text}", f"Issuer:  {leaf.issuer_text}"]
    if verdict.stamp:
        lines.append(f"Stamped: {verdict.stamp}")
    return lines, checked
