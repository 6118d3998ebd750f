"""The telemetry messages: what a launcher sends and what the service answers.

A message on the connection is a 4-byte big-endian length followed by that many bytes of
BinXML holding a header record (token 1) and a body record (token 2). Answers have the same
layout; the body carries the answer type, the session identifier and the receipt number.
"""

import struct
from dataclasses import dataclass, field

import binxml

PREFIX = 4  # big-endian length in front of every message and answer

# Message kinds in header token 2.
KIND_SESSION = 0  # session start, or its end when it carries no application and version
LOG_KINDS = range(1, 8)  # log levels of the service, 1 (least) to 7 (most severe)
KIND_CRASH = 8  # crash report, optionally with its minidump
KIND_CRASH_OTHER = 9  # handled like 8; no sender in the launcher
KIND_MINIDUMP = 10  # minidump without a report
CRASH_KINDS = (KIND_CRASH, KIND_CRASH_OTHER, KIND_MINIDUMP)

# Header record tokens.
H_SEQUENCE, H_KIND, H_SOURCE, H_LINE, H_TEXT5, H_TEXT6, H_HOST = 1, 2, 3, 4, 5, 6, 7
H_VALUE, H_APPLICATION, H_VERSION, H_TIME, H_PREVIOUS = 8, 9, 10, 11, 12
H_TEXT13, H_VALUE14, H_NUMBERED, H_FLAG16, H_ATTACHMENT_NAME = 13, 14, 15, 16, 17
# Body record tokens.
B_TYPE, B_ID, B_RECEIPT, B_SECOND, B_FURTHER, B_DATA = 1, 2, 3, 4, 5, 6

# Answer types in body token 1.
ANSWER_SESSION, ANSWER_RECEIPT, ANSWER_DETAILED = 0, 1, 2
MAX_ANSWER = 1024  # the client discards longer answers unread


@dataclass
class Message:
    kind: int = 0
    sequence: int = 0  # 0 when the message is not numbered
    source: str = ""
    line: int = 0
    host_name: str = ""
    value: int = 0  # the session kind on a session message
    application: str = ""
    version: str = ""
    time: int = 0  # seconds since 1970 by the sender's clock; 0 when absent
    previous_session: int = 0  # a session to continue, on a session message
    attachment_name: str = ""
    data: list = field(default_factory=list)  # every body token 6 value, in order (bytes-like)
    extra: dict = field(default_factory=dict)  # the fields this service gives no meaning

    @property
    def is_session_start(self):
        return self.kind == KIND_SESSION and bool(self.application or self.version)

    @property
    def is_session_end(self):
        return self.kind == KIND_SESSION and not self.is_session_start


def parse_message(payload):
    """Decodes one message (without its length prefix); raises BadStream."""
    top = binxml.Record(payload)
    head = top.record(1)
    body = top.record(2)
    m = Message(
        kind=head.uint8(H_KIND),
        sequence=head.uint(H_SEQUENCE),
        source=head.text(H_SOURCE),
        line=head.uint(H_LINE),
        host_name=head.text(H_HOST),
        value=head.uint(H_VALUE),
        application=head.text(H_APPLICATION),
        version=head.text(H_VERSION),
        time=head.uint64(H_TIME),
        previous_session=head.uint(H_PREVIOUS),
        attachment_name=head.text(H_ATTACHMENT_NAME),
        # Views into the received message: a large attachment is never copied.
        data=body.values(B_DATA),
    )
    # Kept so that nothing a sender puts in is lost, though nothing here reads them.
    for token, name in ((H_TEXT5, "text5"), (H_TEXT6, "text6"), (H_TEXT13, "text13")):
        if head.has(token):
            m.extra[name] = head.text(token)
    if head.has(H_VALUE14):
        m.extra["value14"] = head.uint(H_VALUE14)
    if m.time >= 1 << 63:
        m.extra["time"] = m.time  # beyond a database integer: kept here instead
    if head.boolean(H_FLAG16):
        m.extra["flag16"] = True
    if head.boolean(H_NUMBERED) and not m.sequence:
        m.extra["numbered"] = True  # the flag without its number
    return m


def encode_message(m, omit_defaults=True):
    """The bytes (without length prefix) of a message as the launcher would send it."""
    head = binxml.Writer(omit_defaults)
    head.uint(H_SEQUENCE, m.sequence).uint8(H_KIND, m.kind).text(H_SOURCE, m.source)
    head.uint(H_LINE, m.line).text(H_HOST, m.host_name).uint(H_VALUE, m.value)
    head.text(H_APPLICATION, m.application).text(H_VERSION, m.version)
    head.uint64(H_TIME, m.time).uint(H_PREVIOUS, m.previous_session)
    head.boolean(H_NUMBERED, m.sequence != 0).text(H_ATTACHMENT_NAME, m.attachment_name)
    body = binxml.Writer(omit_defaults)
    for part in m.data:
        body.raw(B_DATA, part)
    return binxml.Writer(omit_defaults).record(1, head).record(2, body).bytes()


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def _small_uint(token, n):
    """An integer item of at most 4 bytes, as the omitting writer puts it (none for 0)."""
    if not n:
        return b""
    value = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes((token, len(value))) + value


def encode_answer(answer_type, session_id=0, receipt=0, second=0, further=0, text="",
                  kind=None, sequence=0, padding=0):
    """One framed answer. `padding` adds a filler text to the header so the answer grows
    to at least that many bytes (used to test the client's answer size limit)."""
    if not text and not padding and max(session_id, receipt, second, further,
                                        sequence) <= 0xFFFFFFFF and (kind or 0) <= 0xFF:
        # The common answer, built directly: the same bytes as the writer's, at a fraction
        # of the cost (one per stored message).
        head = _small_uint(H_SEQUENCE, sequence) + _small_uint(H_KIND, kind or 0)
        body = (_small_uint(B_TYPE, answer_type) + _small_uint(B_ID, session_id)
                + _small_uint(B_RECEIPT, receipt) + _small_uint(B_SECOND, second)
                + _small_uint(B_FURTHER, further))
        payload = ((bytes((1, len(head))) + head if head else b"")
                   + (bytes((2, len(body))) + body if body else b""))
        return frame(payload)
    head = binxml.Writer()
    head.uint(H_SEQUENCE, sequence)
    if kind is not None:
        head.uint8(H_KIND, kind)
    body = binxml.Writer()
    body.uint8(B_TYPE, answer_type).uint(B_ID, session_id).uint(B_RECEIPT, receipt)
    body.uint(B_SECOND, second).uint(B_FURTHER, further).text(B_DATA, text)
    payload = binxml.Writer().record(1, head).record(2, body).bytes()
    filler = padding - len(payload) - PREFIX
    if filler > 0:
        # The filler's own header makes the answer a few bytes longer than asked.
        head.text(H_TEXT13, "x" * filler)
        payload = binxml.Writer().record(1, head).record(2, body).bytes()
    return frame(payload)


def corrupt_answer(receipt):
    """A receipt whose receipt number is five bytes long: well framed, but no reader can
    take it as a 32-bit value, so the client must report a bad stream."""
    body = binxml.Writer().uint8(B_TYPE, ANSWER_RECEIPT)
    body.raw(B_RECEIPT, b"\0" + struct.pack(">I", receipt))
    return frame(binxml.Writer().record(2, body).bytes())


def parse_answer(payload):
    """(type, session id, receipt, second value, further value, text) of one answer."""
    body = binxml.Record(payload).record(2)
    return (body.uint8(B_TYPE), body.uint(B_ID), body.uint(B_RECEIPT), body.uint(B_SECOND),
            body.uint(B_FURTHER), body.text(B_DATA))
