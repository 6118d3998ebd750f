"""The crash triage page: plain server-rendered HTML over the collector's database, read-only.

    /                      crash groups by signature, with counts per version
    /group?signature=S     the group's reports
    /crash?id=N            one report, summarised and rendered, with its attachments
    /attachment?id=N       an attachment's bytes (the minidump), as stored
    /sessions?version=V    sessions, newest first
    /logs?session=N&level=L&source=S&version=V   log lines, newest first

Each request thread borrows a read-only store from a small pool; nothing here writes.
"""

import html
import http.server
import queue
import re
import threading
import time
import urllib.parse

import crash_signature
import store as storage

ROWS = 500  # at most this many rows on one page


CSS = """
body { font: 14px/1.4 sans-serif; margin: 0; color: #222; background: #fafafa; }
nav { background: #2c3e50; padding: 8px 16px; }
nav a { color: #ecf0f1; margin-right: 18px; text-decoration: none; font-weight: bold; }
main { padding: 12px 16px; }
h1 { font-size: 20px; margin: 4px 0 12px; }
h2 { font-size: 16px; margin: 18px 0 8px; }
table { border-collapse: collapse; background: #fff; margin-bottom: 12px; }
th, td { border: 1px solid #ddd; padding: 4px 8px; text-align: left; vertical-align: top; }
th { background: #eef1f4; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
code, pre { font: 12px/1.35 monospace; }
pre.xml { background: #fff; border: 1px solid #ddd; padding: 8px; overflow-x: auto;
          max-height: 640px; }
.tag { color: #1f5fa8; } .attr { color: #8a4b08; }
.versions { font-size: 12px; color: #555; }
form.filter { margin-bottom: 12px; } form.filter input { width: 9em; }
.empty { color: #777; font-style: italic; }
"""


def _when(seconds):
    if seconds is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))


def _e(value):
    return html.escape("-" if value is None else str(value))


def _link(path, text, **query):
    q = urllib.parse.urlencode({k: v for k, v in query.items() if v not in (None, "")})
    return '<a href="%s%s">%s</a>' % (path, "?" + html.escape(q) if q else "", _e(text))


_XML_PARTS = re.compile(r'(&lt;/?[A-Za-z_][\w.-]*)|(?<=\s)([A-Za-z_][\w-]*)(?==")')


def _xml_html(text):
    """The report as readable, coloured, escaped text (tag names and attribute names)."""
    def colour(m):
        return '<span class="%s">%s</span>' % ("tag" if m.group(1) else "attr", m.group(0))
    return _XML_PARTS.sub(colour, html.escape(text, quote=False))


class Pages:
    """Renders the pages from one read-only store."""

    def __init__(self, store):
        self.store = store

    def q(self, sql, args=()):
        return self.store.execute(sql, args).fetchall()

    def groups(self, _):
        rows = self.q(
            "SELECT signature, COUNT(*), MIN(received), MAX(received) FROM crashes "
            "GROUP BY signature ORDER BY COUNT(*) DESC, MAX(received) DESC LIMIT %d" % ROWS)
        versions = {}
        for sig, launcher, app, n in self.q(
                "SELECT signature, launcher_version, app_version, COUNT(*) FROM crashes "
                "GROUP BY signature, launcher_version, app_version ORDER BY 1, 4 DESC"):
            versions.setdefault(sig, []).append(
                "launcher %s / application %s: %d" % (launcher or "-", app or "-", n))
        body = ["<h1>Crash groups</h1>"]
        if not rows:
            body.append('<p class="empty">No crash reports yet.</p>')
            return "Crash groups", body
        body.append("<table><tr><th>Exception</th><th>Module + offset</th><th>Reports</th>"
                    "<th>Versions</th><th>First seen</th><th>Last seen</th></tr>")
        for sig, count, first, last in rows:
            exception, _, where = sig.partition(" ")
            body.append(
                "<tr><td>%s</td><td><code>%s</code></td><td class=n>%s</td>"
                '<td class="versions">%s</td><td>%s</td><td>%s</td></tr>' % (
                    _link("/group", _exception_name(exception), signature=sig), _e(where),
                    count, "<br>".join(_e(v) for v in versions.get(sig, [])), _when(first),
                    _when(last)))
        body.append("</table>")
        return "Crash groups", body

    def group(self, query):
        sig = query.get("signature", "")
        rows = self.q(
            "SELECT id, received, session_id, launcher_version, app_version, kind, "
            "OCTET_LENGTH(report) FROM crashes WHERE signature=? ORDER BY id DESC LIMIT %d"
            % ROWS if not self._sqlite() else
            "SELECT id, received, session_id, launcher_version, app_version, kind, "
            "LENGTH(CAST(report AS BLOB)) FROM crashes WHERE signature=? ORDER BY id DESC "
            "LIMIT %d" % ROWS, (sig,))
        files = self._attachments([r[0] for r in rows])
        body = ["<h1>Crash group <code>%s</code></h1>" % _e(sig),
                "<table><tr><th>Report</th><th>Received</th><th>Session</th>"
                "<th>Launcher</th><th>Application</th><th>Kind</th><th>XML bytes</th>"
                "<th>Attachments</th></tr>"]
        for crash_id, received, session, launcher, app, kind, size in rows:
            body.append(
                "<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td>"
                "<td class=n>%s</td><td>%s</td></tr>" % (
                    _link("/crash", "#%d" % crash_id, id=crash_id), _when(received),
                    _link("/logs", session, session=session) if session else "-",
                    _e(launcher), _e(app), kind, _e(size), self._file_links(files, crash_id)))
        body.append("</table>")
        return "Crash group", body

    def crash(self, query):
        crash_id = _int(query.get("id"))
        row = self.q("SELECT id, session_id, received, signature, report, launcher_version, "
                     "app_version, kind FROM crashes WHERE id=?", (crash_id,))
        if not row:
            raise LookupError("no crash report %s" % crash_id)
        crash_id, session, received, sig, report, launcher, app, kind = row[0]
        report = report or ""
        files = self._attachments([crash_id])
        facts = [("Signature", "<code>%s</code>" % _e(sig)),
                 ("Group", _link("/group", "all reports of this group", signature=sig)),
                 ("Received", _when(received)),
                 ("Session", _link("/logs", session, session=session) if session else "-"),
                 ("Launcher / application", "%s / %s" % (_e(launcher), _e(app))),
                 ("Kind", kind), ("Attachments", self._file_links(files, crash_id))]
        for label, pattern in (("Exception", r"<type>([^<]*)</type>"),
                               ("Bad address", r"<bad_address[^>]*>([^<]*)</bad_address>"),
                               ("Command line", r"<cmdline>([^<]*)</cmdline>"),
                               ("Operating system", r"<os_info>([^<]*)</os_info>")):
            found = re.search(pattern, report)
            if found:
                facts.append((label, _e(_unescape(found.group(1)))))
        body = ["<h1>Crash report #%d</h1><table>" % crash_id]
        body += ["<tr><th>%s</th><td>%s</td></tr>" % (k, v) for k, v in facts]
        body.append("</table>")
        frames = _crash_frames(report)
        if frames:
            body.append("<h2>Crashing thread</h2><table><tr><th>#</th><th>Frame</th>"
                        "<th>Module + offset</th></tr>")
            body += ["<tr><td class=n>%d</td><td><code>%s</code></td><td><code>%s</code></td>"
                     "</tr>" % (i, _e(f), _e(w)) for i, (f, w) in enumerate(frames)]
            body.append("</table>")
        body.append("<h2>Report</h2>")
        body.append('<pre class="xml">%s</pre>' % _xml_html(report) if report
                    else '<p class="empty">A minidump without a report.</p>')
        return "Crash report #%d" % crash_id, body

    def sessions(self, query):
        version = query.get("version", "")
        where, args = "", ()
        if version:
            where, args = " WHERE version=? OR first_version=?", (version, version)
        rows = self.q("SELECT id, application, first_version, version, host_name, peer, "
                      "started, starts, ended FROM sessions%s ORDER BY id DESC LIMIT %d"
                      % (where, ROWS), args)
        body = ["<h1>Sessions</h1>", _filter_form("/sessions", query, ("version",)),
                "<table><tr><th>Session</th><th>Application</th><th>Launcher</th>"
                "<th>Version</th><th>Host</th><th>From</th><th>Started</th><th>Starts</th>"
                "<th>Ended</th></tr>"]
        for sid, app, first, ver, host, peer, started, starts, ended in rows:
            body.append("<tr><td>%s</td>%s<td>%s</td><td class=n>%d</td><td>%s</td></tr>" % (
                _link("/logs", sid, session=sid),
                "".join("<td>%s</td>" % _e(v) for v in (app, first, ver, host, peer)),
                _when(started), starts, _when(ended)))
        body.append("</table>")
        return "Sessions", body

    def logs(self, query):
        clauses, args = [], []
        session = _int(query.get("session"), None)
        if session is not None:
            clauses.append("l.session_id=?")
            args.append(session)
        level = _int(query.get("level"), None)
        if level is not None:
            clauses.append("l.level>=?")
            args.append(level)
        if query.get("source"):
            clauses.append("l.source LIKE ? ESCAPE '!'")
            args.append("%" + re.sub(r"([!%_])", r"!\1", query["source"]) + "%")
        if query.get("version"):
            clauses.append("(s.version=? OR s.first_version=?)")
            args += [query["version"]] * 2
        where = " WHERE " + " AND ".join(clauses) if clauses else ""
        rows = self.q("SELECT l.id, l.session_id, l.received, l.level, l.source, l.line, "
                      "l.text, s.version FROM logs l LEFT JOIN sessions s ON s.id=l.session_id"
                      "%s ORDER BY l.id DESC LIMIT %d" % (where, ROWS), tuple(args))
        body = ["<h1>Log lines</h1>",
                _filter_form("/logs", query, ("session", "level", "source", "version")),
                "<table><tr><th>Received</th><th>Session</th><th>Version</th><th>Level</th>"
                "<th>Source</th><th>Text</th></tr>"]
        for _, sid, received, lvl, source, line, text, version in rows:
            body.append(
                "<tr><td>%s</td><td>%s</td><td>%s</td><td class=n>%d</td><td>%s:%d</td>"
                "<td><code>%s</code></td></tr>" % (
                    _when(received), _link("/logs", sid, session=sid) if sid else "-",
                    _e(version), lvl, _e(source), line, _e(text)))
        body.append("</table>")
        return "Log lines", body

    def attachment(self, query):
        """(file path, download name) of one attachment."""
        row = self.q("SELECT name, path FROM attachments WHERE id=?",
                     (_int(query.get("id")),))
        if not row:
            raise LookupError("no attachment %s" % query.get("id"))
        return self.store.file_path(row[0][1]), storage.safe_file_name(row[0][0])

    def _sqlite(self):
        return isinstance(self.store, storage.SQLiteStore)

    def _attachments(self, crash_ids):
        out = {}
        for start in range(0, len(crash_ids), 200):
            chunk = crash_ids[start:start + 200]
            if not chunk:
                continue
            for aid, crash_id, name, size in self.q(
                    "SELECT id, crash_id, name, size FROM attachments WHERE crash_id IN (%s) "
                    "ORDER BY id" % ",".join("?" * len(chunk)), tuple(chunk)):
                out.setdefault(crash_id, []).append((aid, name, size))
        return out

    @staticmethod
    def _file_links(files, crash_id):
        return "<br>".join(
            "%s (%d bytes)" % (_link("/attachment", name, id=aid), size)
            for aid, name, size in files.get(crash_id, [])) or "-"


def _exception_name(code):
    for name, value in crash_signature.EXCEPTION_CODES.items():
        if code == "0x%08x" % value:
            return "%s %s" % (code, name)
    return code


def _unescape(text):
    return crash_signature._unescape(text)


def _crash_frames(report):
    """[(frame text, module+offset)] of the crashing thread."""
    mark = report.find('crash="yes"')
    if mark < 0:
        return []
    end = report.find("</thread>", mark)
    frames = re.findall(r"<frame>([^<]*)</frame>", report[mark:end if end > 0 else None])
    modules = [(int(a, 16), int(b, 16), re.split(r"[\\/]", _unescape(p).strip())[-1])
               for a, b, p in crash_signature._MODULE.findall(report)]
    out = []
    for frame in frames[:64]:
        frame = _unescape(frame).strip()
        where = "?"
        address = re.search(r"0x([0-9A-Fa-f]{1,16})", frame)
        if address:
            value = int(address.group(1), 16)
            for first, last, name in modules:
                if first <= value <= last:
                    where = "%s+0x%x" % (name, value - first)
                    break
        out.append((frame, where))
    return out


def _filter_form(path, query, fields):
    inputs = "".join('<label>%s <input name="%s" value="%s"></label> ' % (f, f, _e(
        query.get(f, ""))) for f in fields)
    return '<form class="filter" action="%s">%s<button>Filter</button></form>' % (path, inputs)


def _int(value, default=0):
    try:
        return int(value)
    except (TypeError, ValueError):
        return default


def _page(title, body):
    return ("<!DOCTYPE html>\n<html><head><meta charset=utf-8><title>%s</title>"
            "<style>%s</style></head><body><nav><a href=\"/\">Crash groups</a>"
            "<a href=\"/sessions\">Sessions</a><a href=\"/logs\">Log lines</a></nav>"
            "<main>%s</main></body></html>\n" % (_e(title), CSS, "\n".join(body)))


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "collector-page"
    timeout = 30  # a reader that never finishes its request is let go

    ROUTES = {"/": "groups", "/group": "group", "/crash": "crash", "/sessions": "sessions",
              "/logs": "logs"}

    def log_message(self, *args):
        pass  # the collector's own output stays about what launchers send

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        store = self.server.borrow()
        try:
            pages = Pages(store)
            if url.path == "/attachment":
                path, name = pages.attachment(query)
                return self.send_file(path, name)
            method = self.ROUTES.get(url.path)
            if method is None:
                raise LookupError("no page %s" % url.path)
            title, body = getattr(pages, method)(query)
            self.send_text(200, _page(title, body))
        except LookupError as e:
            self.send_text(404, _page("Not found", ["<h1>Not found</h1><p>%s</p>" % _e(e)]))
        except Exception as e:
            store = self.server.discard(store)
            self.send_text(500, _page("Error", ["<h1>Error</h1><p>%s</p>" % _e(e)]))
        finally:
            self.server.give_back(store)

    def send_text(self, status, text):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_file(self, path, name):
        try:
            f = open(path, "rb")
        except OSError:
            raise LookupError("the attachment's file is missing") from None
        with f:
            size = f.seek(0, 2)
            f.seek(0)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Disposition", 'attachment; filename="%s"' % name)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            while True:
                chunk = f.read(256 * 1024)
                if not chunk:
                    break
                self.wfile.write(chunk)


class PageServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, db, files, host, port):
        self.db, self.files = db, files
        self.pool = queue.LifoQueue()
        super().__init__((host, port), Handler)

    def borrow(self):
        try:
            return self.pool.get_nowait()
        except queue.Empty:
            return storage.open_store(self.db, self.files, readonly=True)

    def discard(self, store):
        try:
            store.close()
        except Exception:
            pass
        return None

    def give_back(self, store):
        if store is not None:
            if self.pool.qsize() < 8:
                self.pool.put(store)
            else:
                self.discard(store)


def make_server(db, files, host, port):
    return PageServer(db, files, host, port)


def serve_in_thread(db, files, host, port):
    server = make_server(db, files, host, port)
    threading.Thread(target=server.serve_forever, name="page", daemon=True).start()
    return server
