"""The signature that groups crash reports: the exception code and where the crashing thread
was, as module and offset. Read from the XML crash report with patterns rather than an XML
parser: reports arrive cut short, with unescaped application XML inside, or hostile, and a
report that cannot be read still gets a group ("unknown").
"""

import re
from dataclasses import dataclass

# Exception names the crash reporter writes, back to their codes.
EXCEPTION_CODES = {
    "EXCEPTION_ACCESS_VIOLATION": 0xC0000005,
    "EXCEPTION_DATATYPE_MISALIGNMENT": 0x80000002,
    "EXCEPTION_BREAKPOINT": 0x80000003,
    "EXCEPTION_SINGLE_STEP": 0x80000004,
    "EXCEPTION_IN_PAGE_ERROR": 0xC0000006,
    "EXCEPTION_ILLEGAL_INSTRUCTION": 0xC000001D,
    "EXCEPTION_NONCONTINUABLE_EXCEPTION": 0xC0000025,
    "EXCEPTION_INVALID_DISPOSITION": 0xC0000026,
    "EXCEPTION_ARRAY_BOUNDS_EXCEEDED": 0xC000008C,
    "EXCEPTION_FLT_DENORMAL_OPERAND": 0xC000008D,
    "EXCEPTION_FLT_DIVIDE_BY_ZERO": 0xC000008E,
    "EXCEPTION_FLT_INEXACT_RESULT": 0xC000008F,
    "EXCEPTION_FLT_INVALID_OPERATION": 0xC0000090,
    "EXCEPTION_FLT_OVERFLOW": 0xC0000091,
    "EXCEPTION_FLT_STACK_CHECK": 0xC0000092,
    "EXCEPTION_FLT_UNDERFLOW": 0xC0000093,
    "EXCEPTION_INT_DIVIDE_BY_ZERO": 0xC0000094,
    "EXCEPTION_INT_OVERFLOW": 0xC0000095,
    "EXCEPTION_PRIV_INSTRUCTION": 0xC0000096,
    "EXCEPTION_STACK_OVERFLOW": 0xC00000FD,
}

_TYPE = re.compile(r"<type>([^<]{1,100})</type>")
_FRAME = re.compile(r"<frame>([^<]*)</frame>")
_ADDRESS = re.compile(r"0x([0-9A-Fa-f]{1,16})")
_IP_REGISTER = re.compile(r"\b[ER]IP=\"0x([0-9A-Fa-f]{1,16})\"")
# Bounded repeats keep a hostile report from costing more than a linear scan or so.
_MODULE = re.compile(r"<module\s+base=\"0x([0-9A-Fa-f]{1,16})-0x([0-9A-Fa-f]{1,16})\"[^>]{0,1000}>"
                     r"([^<]{0,1000})</module>")
_SCAN_LIMIT = 1024 * 1024  # reports are far smaller; a bigger one is read this far


@dataclass
class Signature:
    exception: str  # "0xc0000005"
    module: str  # base name of the module, lower case; "?" when the address is in none
    offset: str  # "0x1a2b" into the module, or the absolute address when no module holds it

    @property
    def text(self):
        return "%s %s+%s" % (self.exception, self.module, self.offset)


UNKNOWN = Signature("unknown", "?", "?")


def _unescape(text):
    return (text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"')
            .replace("&apos;", "'").replace("&amp;", "&"))


def of_report(report):
    """The signature of one XML crash report (text); UNKNOWN when it names no exception."""
    if not report:
        return UNKNOWN
    report = report[:_SCAN_LIMIT]
    found = _TYPE.search(report)
    if not found:
        return UNKNOWN
    name = found.group(1).strip()
    code = EXCEPTION_CODES.get(name)
    if code is None:
        try:
            code = int(name, 16)
        except ValueError:
            code = None
    exception = "0x%08x" % code if code is not None and code <= 0xFFFFFFFF else name[:40]
    address = _crash_address(report)
    if address is None:
        return Signature(exception, "?", "?")
    for m in _MODULE.finditer(report):
        first, last = int(m.group(1), 16), int(m.group(2), 16)
        if first <= address <= last:
            path = _unescape(m.group(3)).strip()
            module = re.split(r"[\\/]", path)[-1].lower()[:100] or "?"
            return Signature(exception, module, "0x%x" % (address - first))
    return Signature(exception, "?", "0x%x" % address)


def _crash_address(report):
    """The crashing frame's address: the first frame of the crashing thread, else its
    instruction pointer."""
    mark = report.find('crash="yes"')
    start = report.rfind("<thread", 0, mark)
    if mark < 0 or start < 0:
        return None
    opened = report.find(">", mark)
    if opened < 0:
        return None
    closed = report.find("</thread>", opened)
    attributes, inner = report[start:opened], report[opened:closed if closed >= 0 else None]
    frame = _FRAME.search(inner)
    if frame:
        address = _ADDRESS.search(frame.group(1))
        if address:
            return int(address.group(1), 16)
    register = _IP_REGISTER.search(attributes)
    return int(register.group(1), 16) if register else None
