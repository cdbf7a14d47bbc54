"""A small, strict DER reader (and the few writers the tests' time-stamping authority needs).

Every element is checked as it is read: a definite length in its shortest form, a tag of one byte, and a
content that ends inside its parent. A caller names the tag it expects, so a file whose structure is not
the one described fails with DerError, which says where, and never with an IndexError further on.
"""

SEQUENCE, SET, INTEGER, OCTET_STRING, BIT_STRING, OID, NULL = 0x30, 0x31, 0x02, 0x04, 0x03, 0x06, 0x05


def context(number, constructed=True):
    """The tag of a context-specific [number] element."""
    return 0x80 | (0x20 if constructed else 0) | number


class DerError(ValueError):
    """The bytes are not the DER structure they were read as."""


class Element:
    """One DER element inside `data`: its tag, where its header starts, where its content starts and ends."""

    __slots__ = ("data", "tag", "at", "start", "end")

    def __init__(self, data, tag, at, start, end):
        self.data, self.tag, self.at, self.start, self.end = data, tag, at, start, end

    @property
    def content(self):
        return bytes(self.data[self.start:self.end])

    @property
    def encoded(self):
        """The whole element, header included."""
        return bytes(self.data[self.at:self.end])

    def children(self):
        items, at = [], self.start
        while at < self.end:
            item = read(self.data, at, self.end)
            items.append(item)
            at = item.end
        return items

    def fields(self, *tags, what="a structure"):
        """The children, checked against `tags` in order; a tag of None takes anything, a trailing
        Ellipsis allows more children after those named."""
        items = self.children()
        more = tags and tags[-1] is Ellipsis
        tags = tags[:-1] if more else tags
        if len(items) < len(tags) or (not more and len(items) > len(tags)):
            raise DerError(f"{what} has {len(items)} parts, not {'at least ' if more else ''}{len(tags)}")
        for index, (item, tag) in enumerate(zip(items, tags)):
            if tag is not None and item.tag != tag:
                raise DerError(f"part {index + 1} of {what} has tag {item.tag:#04x}, not {tag:#04x}")
        return items

    def expect(self, tag, what):
        if self.tag != tag:
            raise DerError(f"{what} has tag {self.tag:#04x}, not {tag:#04x}")
        return self


def read(data, at=0, end=None, tag=None, what="an element"):
    """The element that starts at `at` and must end by `end` (the data's end by default)."""
    end = len(data) if end is None else end
    if at + 2 > end:
        raise DerError(f"{what} at offset {at} is cut short")
    kind, first = data[at], data[at + 1]
    if kind & 0x1F == 0x1F:
        raise DerError(f"{what} at offset {at} has a multi-byte tag, which no part of this structure uses")
    start = at + 2
    if first & 0x80:
        size = first & 0x7F
        if size == 0:
            raise DerError(f"{what} at offset {at} has an indefinite length, which DER does not allow")
        if size > 4 or start + size > end:
            raise DerError(f"{what} at offset {at} has a length that runs past its end")
        length = int.from_bytes(data[start:start + size], "big")
        if length < 0x80 or data[start] == 0:
            raise DerError(f"{what} at offset {at} has a length not in its shortest form")
        start += size
    else:
        length = first
    if start + length > end:
        raise DerError(f"{what} at offset {at} runs past the end of what holds it")
    element = Element(data, kind, at, start, start + length)
    if tag is not None:
        element.expect(tag, what)
    return element


def object_identifier(element, what="an object identifier"):
    """The dotted text of an OBJECT IDENTIFIER element."""
    element.expect(OID, what)
    raw = element.content
    if not raw or raw[-1] & 0x80:
        raise DerError(f"{what} is cut short")
    first = raw[0]
    if first & 0x80:
        raise DerError(f"{what} is too long for this reader")
    parts = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    value = 0
    for byte in raw[1:]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(map(str, parts))


def integer_value(element, what="an integer"):
    element.expect(INTEGER, what)
    if not element.content:
        raise DerError(f"{what} is empty")
    return int.from_bytes(element.content, "big", signed=True)


# Writers, for making small structures in the tests.
def tlv(tag: int, content: bytes) -> bytes:
    if len(content) < 0x80:
        length = bytes([len(content)])
    else:
        size = (len(content).bit_length() + 7) // 8
        length = bytes([0x80 | size]) + len(content).to_bytes(size, "big")
    return bytes([tag]) + length + content


def oid(text: str) -> bytes:
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.append(0x80 | (part & 0x7F))
            part >>= 7
        body += bytes(reversed(chunk))
    return tlv(OID, body)


def integer(value: int) -> bytes:
    return tlv(INTEGER, value.to_bytes(value.bit_length() // 8 + 1, "big", signed=True))
