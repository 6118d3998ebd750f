"""What the collection service keeps: sessions, log lines, crash reports and their
attachments, in one SQLite database. Attachment bytes (minidumps, files) are kept as files
in a folder beside the database, named "<database>.files"; the database holds their names,
sizes and paths relative to that folder.
"""

import contextlib
import json
import os
import re
import shutil
import sqlite3
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS sessions (
  id INTEGER PRIMARY KEY,          -- the session identifier the service answered
  application TEXT NOT NULL,
  version TEXT NOT NULL,
  session_kind INTEGER NOT NULL,
  host_name TEXT NOT NULL,         -- the name the launcher's machine gave
  peer TEXT NOT NULL,              -- address:port the session came from (last start)
  client_time INTEGER,             -- seconds since 1970 by the launcher's clock, if sent
  started REAL NOT NULL,           -- seconds since 1970 by the service's clock
  starts INTEGER NOT NULL DEFAULT 1,  -- 1 + how often a later run continued this session
  ended REAL                       -- set by the end-of-session message
);
CREATE TABLE IF NOT EXISTS logs (
  id INTEGER PRIMARY KEY,
  session_id INTEGER,              -- NULL when the connection had started no session
  sequence INTEGER,                -- NULL for a message that was not numbered
  level INTEGER NOT NULL,          -- the message kind: 1 to 7 (others are kept as they came)
  source TEXT NOT NULL,
  line INTEGER NOT NULL,
  client_time INTEGER,
  received REAL NOT NULL,
  text TEXT NOT NULL,
  extra TEXT                       -- JSON of header fields without a column, if any
);
CREATE TABLE IF NOT EXISTS crashes (
  id INTEGER PRIMARY KEY,
  session_id INTEGER,
  sequence INTEGER,
  kind INTEGER NOT NULL,           -- 8 report (with or without dump), 9, 10 dump only
  source TEXT NOT NULL,
  line INTEGER NOT NULL,
  client_time INTEGER,
  received REAL NOT NULL,
  report TEXT,                     -- the XML crash report; NULL for a dump alone
  extra TEXT
);
CREATE TABLE IF NOT EXISTS attachments (
  id INTEGER PRIMARY KEY,
  crash_id INTEGER NOT NULL REFERENCES crashes(id),
  name TEXT NOT NULL,              -- the file name the launcher gave (or "attachment")
  size INTEGER NOT NULL,
  path TEXT NOT NULL               -- relative to the attachment folder
);
CREATE INDEX IF NOT EXISTS logs_session ON logs(session_id);
CREATE INDEX IF NOT EXISTS crashes_session ON crashes(session_id);
"""

_UNSAFE_NAME = re.compile(r"[^A-Za-z0-9._-]+")


def attachment_folder(db_path):
    return db_path + ".files"


def remove(db_path):
    """Deletes a database with its journal files and attachment folder, if they exist."""
    for path in (db_path, db_path + "-wal", db_path + "-shm", db_path + "-journal"):
        if os.path.exists(path):
            os.remove(path)
    shutil.rmtree(attachment_folder(db_path), ignore_errors=True)


def safe_file_name(name):
    """The last path part of a sender's file name, cut down to harmless characters."""
    base = re.split(r"[\\/]", name)[-1]
    base = _UNSAFE_NAME.sub("_", base).strip("._")[:80]
    return base or "attachment"


class Store:
    """The open database. Used from one thread (the service's event loop). Writes happen
    inside `item()` blocks, each all or nothing, and become visible to readers (the query
    command) at `commit`."""

    def __init__(self, path):
        self.path = path
        self.files = attachment_folder(path)
        # Transactions are begun and ended here, not by the sqlite3 module.
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.executescript(SCHEMA)
        self.written = []  # attachment files of the item being stored

    def close(self):
        self.commit()
        self.db.close()

    def commit(self):
        if self.db.in_transaction:
            self.db.execute("COMMIT")

    @contextlib.contextmanager
    def item(self):
        """Stores one message's rows and files completely or not at all. Items gather in
        one transaction until `commit`, so a burst of messages costs one commit."""
        if not self.db.in_transaction:
            self.db.execute("BEGIN")
        self.db.execute("SAVEPOINT item")
        self.written = []
        try:
            yield
        except BaseException:
            self.db.execute("ROLLBACK TO item")
            self.db.execute("RELEASE item")
            for path in self.written:
                try:
                    os.remove(path)
                except OSError:
                    pass
            raise
        self.db.execute("RELEASE item")

    def start_session(self, m, peer):
        """Records a session start and returns its identifier: a new one, or the previous
        session the message asks to continue (created if this database never saw it)."""
        now = time.time()
        fields = (m.application, m.version, m.value, m.host_name, peer, _time(m))
        if m.previous_session:
            row = self.db.execute("SELECT id FROM sessions WHERE id=?",
                                  (m.previous_session,)).fetchone()
            if row:
                self.db.execute(
                    "UPDATE sessions SET application=?, version=?, session_kind=?, "
                    "host_name=?, peer=?, client_time=?, starts=starts+1, ended=NULL "
                    "WHERE id=?", fields + (m.previous_session,))
                return m.previous_session
            self.db.execute(
                "INSERT INTO sessions (id, application, version, session_kind, host_name, "
                "peer, client_time, started) VALUES (?,?,?,?,?,?,?,?)",
                (m.previous_session,) + fields + (now,))
            return m.previous_session
        # Identifiers are 32-bit on the wire and 0 means "none": count up from 1.
        row = self.db.execute("SELECT COALESCE(MAX(id), 0) FROM sessions").fetchone()
        new_id = row[0] + 1
        if new_id > 0xFFFFFFFF:
            raise RuntimeError("session identifiers exhausted")
        self.db.execute(
            "INSERT INTO sessions (id, application, version, session_kind, host_name, peer, "
            "client_time, started) VALUES (?,?,?,?,?,?,?,?)", (new_id,) + fields + (now,))
        return new_id

    def end_session(self, session_id):
        self.db.execute("UPDATE sessions SET ended=? WHERE id=?", (time.time(), session_id))

    def add_log(self, session_id, m):
        text = _text(m.data[0]) if m.data else ""
        extra = dict(m.extra)
        if len(m.data) > 1:
            extra["further_data_bytes"] = [len(d) for d in m.data[1:]]
        cur = self.db.execute(
            "INSERT INTO logs (session_id, sequence, level, source, line, client_time, "
            "received, text, extra) VALUES (?,?,?,?,?,?,?,?,?)",
            (session_id, m.sequence or None, m.kind, m.source, m.line, _time(m),
             time.time(), text, json.dumps(extra) if extra else None))
        return cur.lastrowid

    def add_crash(self, session_id, m):
        """Stores a crash report and its attachments; returns (crash id, report text or
        None, [(name, size, file) of each attachment]).

        Body values in order: the report, then attachments. A message of kind 10 (a dump
        alone) that carries a single value carries only the dump."""
        parts = list(m.data)
        report = None
        if parts and not (m.kind == 10 and len(parts) == 1):
            report = _text(parts.pop(0))
        cur = self.db.execute(
            "INSERT INTO crashes (session_id, sequence, kind, source, line, client_time, "
            "received, report, extra) VALUES (?,?,?,?,?,?,?,?,?)",
            (session_id, m.sequence or None, m.kind, m.source, m.line, _time(m),
             time.time(), report, json.dumps(m.extra) if m.extra else None))
        crash_id = cur.lastrowid
        saved = []
        for index, data in enumerate(parts):
            name = m.attachment_name if index == 0 and m.attachment_name else "attachment"
            rel = "%d-%d-%s" % (crash_id, index, safe_file_name(name))
            os.makedirs(self.files, exist_ok=True)
            path = os.path.join(self.files, rel)
            self.written.append(path)
            with open(path, "wb") as f:
                f.write(data)
            self.db.execute("INSERT INTO attachments (crash_id, name, size, path) "
                            "VALUES (?,?,?,?)", (crash_id, name, len(data), rel))
            saved.append((name, len(data), rel))
        return crash_id, report, saved

    def counts(self):
        return {t: self.db.execute("SELECT COUNT(*) FROM %s" % t).fetchone()[0]
                for t in ("sessions", "logs", "crashes", "attachments")}


def _time(m):
    """The sender's time, or NULL when absent or beyond what SQLite's integers hold."""
    return m.time if 0 < m.time < 1 << 63 else None


def _text(data):
    if data.endswith(b"\0"):
        data = data[:-1]
    return data.decode("utf-8", errors="replace")


# What `query` prints for each table: the columns, in order.
QUERY_COLUMNS = {
    "sessions": ("id", "application", "version", "session_kind", "host_name", "peer",
                 "client_time", "started", "starts", "ended"),
    "logs": ("id", "session_id", "sequence", "level", "source", "line", "client_time",
             "received", "text"),
    "crashes": ("id", "session_id", "sequence", "kind", "source", "line", "client_time",
                "received", "report_bytes", "attachments"),
    "attachments": ("id", "crash_id", "name", "size", "path"),
}


def query(db, table, session=None, last=None):
    """Rows of one table as lists of values in QUERY_COLUMNS order, oldest first."""
    if table not in QUERY_COLUMNS:
        raise ValueError("unknown table %r (sessions, logs, crashes, attachments)" % table)
    where, args = "", []
    if session is not None:
        where = {"sessions": " WHERE id=?",
                 "attachments": " WHERE crash_id IN (SELECT id FROM crashes WHERE session_id=?)"
                 }.get(table, " WHERE session_id=?")
        args = [session]
    if table == "crashes":
        select = ("SELECT id, session_id, sequence, kind, source, line, client_time, received, "
                  "LENGTH(CAST(report AS BLOB)), (SELECT GROUP_CONCAT(path, ' ') "
                  "FROM attachments a WHERE a.crash_id=crashes.id) FROM crashes")
    else:
        select = "SELECT %s FROM %s" % (", ".join(QUERY_COLUMNS[table]), table)
    sql = select + where + " ORDER BY id"
    if last is not None:
        sql = "SELECT * FROM (%s DESC LIMIT %d) ORDER BY 1" % (select + where + " ORDER BY id",
                                                                int(last))
    return [list(r) for r in db.execute(sql, args)]


def report_text(db, crash_id):
    row = db.execute("SELECT report FROM crashes WHERE id=?", (crash_id,)).fetchone()
    if row is None:
        raise ValueError("no crash %d" % crash_id)
    return row[0] or ""


def escape_field(value):
    """One tab-separated field: NULL as "-", tabs, line breaks and backslashes escaped."""
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.3f" % value
    return (str(value).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
            .replace("\r", "\\r"))
