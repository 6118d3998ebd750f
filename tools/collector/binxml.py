"""BinXML token encoding, as the telemetry client writes it and expects it back.

An item is a token byte, a length (1, 2 or 5 bytes) and that many value bytes; a record's
value is itself a run of items. What a value means (integer, text, binary, record) is
implied by its token within the enclosing record, so decoding yields raw values and the
caller picks the reading (`uint`, `text`, `records`...). Every decoding failure raises
`BadStream` with a text saying what was wrong and where.
"""

import struct

# Length forms on the wire: one byte below 0x80; two bytes with the top bit set up to
# 0x7EFF (first byte 0x80..0xFE); 0xFF followed by a 32-bit big-endian length above that.
SHORT_MAX = 0x7F
MEDIUM_MAX = 0x7EFF
LONG_MARK = 0xFF


class BadStream(ValueError):
    """Input that is not a valid BinXML stream."""


def encode_length(n):
    if n < 0 or n > 0xFFFFFFFF:
        raise ValueError("length %d does not fit a BinXML header" % n)
    if n <= SHORT_MAX:
        return bytes([n])
    if n <= MEDIUM_MAX:
        return bytes([0x80 | (n >> 8), n & 0xFF])
    return bytes([LONG_MARK]) + struct.pack(">I", n)


def encode_item(token, value):
    if not 0 <= token <= 254:
        raise ValueError("token %d out of range (255 is never written)" % token)
    return bytes([token]) + encode_length(len(value)) + bytes(value)


def uint_bytes(n, width=4):
    """Big-endian with the leading zero bytes dropped (one byte kept for 0)."""
    if n < 0 or n >= 1 << (8 * width):
        raise ValueError("%d does not fit %d bytes" % (n, width))
    return n.to_bytes(max(1, (n.bit_length() + 7) // 8), "big")


def text_bytes(s):
    """A text value: UTF-8 with its terminating zero; an empty text has no bytes at all."""
    data = s.encode("utf-8") if isinstance(s, str) else bytes(s)
    return data + b"\0" if data else b""


class Writer:
    """Builds a run of items. With omit_defaults (the telemetry client's mode) a zero
    integer, a false Boolean and any empty value are left out entirely."""

    def __init__(self, omit_defaults=True):
        self.omit_defaults = omit_defaults
        self.out = bytearray()

    def raw(self, token, value):
        if self.omit_defaults and not value:
            return self
        self.out += encode_item(token, value)
        return self

    def uint(self, token, n, width=4):
        if self.omit_defaults and n == 0:
            return self
        return self.raw(token, uint_bytes(n, width))

    def uint8(self, token, n):
        return self.uint(token, n, 1)

    def uint64(self, token, n):
        return self.uint(token, n, 8)

    def boolean(self, token, flag):
        return self.uint(token, 1 if flag else 0, 1)

    def text(self, token, s):
        return self.raw(token, text_bytes(s))

    def record(self, token, writer):
        return self.raw(token, bytes(writer.out))

    def bytes(self):
        return bytes(self.out)


def read_header(data, pos, limit):
    """(token, value start, value length) of the item at pos; the value must end by limit."""
    if limit - pos < 2:
        raise BadStream("truncated item header at offset %d" % pos)
    token, first = data[pos], data[pos + 1]
    if first <= SHORT_MAX:
        start, n = pos + 2, first
    elif first == LONG_MARK:
        if limit - pos < 6:
            raise BadStream("truncated 5-byte length at offset %d" % pos)
        start, n = pos + 6, struct.unpack_from(">I", data, pos + 2)[0]
    else:
        if limit - pos < 3:
            raise BadStream("truncated 2-byte length at offset %d" % pos)
        start, n = pos + 3, ((first & 0x7F) << 8) | data[pos + 2]
    if n > limit - start:
        raise BadStream("value of token %d at offset %d runs %d bytes past its end"
                        % (token, pos, n - (limit - start)))
    return token, start, n


def items(data, start=0, end=None):
    """The (token, value) pairs of a run of items, values as memoryviews into data."""
    view = memoryview(data)
    end = len(data) if end is None else end
    pos = start
    out = []
    while pos < end:
        token, vstart, n = read_header(view, pos, end)
        out.append((token, view[vstart:vstart + n]))
        pos = vstart + n
    return out


class Record:
    """A decoded record: its items in order, looked up by token (the first one wins; absent
    tokens read as their defaults). Unknown tokens are kept but never get in the way."""

    def __init__(self, data):
        self.items = items(data)
        self.first = {}
        for t, v in self.items:
            self.first.setdefault(t, v)

    def values(self, token):
        return [v for t, v in self.items if t == token]

    def get(self, token):
        return self.first.get(token)

    def has(self, token):
        return self.get(token) is not None

    def uint(self, token, width=4):
        v = self.get(token)
        if v is None:
            return 0
        if len(v) > width:
            raise BadStream("token %d: %d-byte value for a %d-bit integer"
                            % (token, len(v), width * 8))
        return int.from_bytes(v, "big")

    def uint8(self, token):
        return self.uint(token, 1)

    def uint64(self, token):
        return self.uint(token, 8)

    def boolean(self, token):
        v = self.get(token)
        if v is not None and len(v) > 1:
            raise BadStream("token %d: %d-byte value for a Boolean" % (token, len(v)))
        return bool(v is not None and len(v) and v[0])

    def text(self, token):
        v = self.get(token)
        return decode_text(v) if v is not None else ""

    def record(self, token):
        v = self.get(token)
        return Record(v if v is not None else b"")


def decode_text(value):
    """A text value without its terminating zero. Bytes that are not UTF-8 are replaced
    rather than refused: a log line with a bad byte is still worth keeping."""
    data = bytes(value)
    if data.endswith(b"\0"):
        data = data[:-1]
    return data.decode("utf-8", errors="replace")
