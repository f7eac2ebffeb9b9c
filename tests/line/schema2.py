"""The record's schema version 2 for the line view's tests, made with the
SQL of the record's contract, for records a station of schema version 1
wrote. A station that writes version 2 itself makes none of this needed:
the helpers leave such a record alone."""

import sqlite3

SQLITE_V2 = """
CREATE TABLE units2 (
 id INTEGER PRIMARY KEY AUTOINCREMENT,
 run_id TEXT NOT NULL UNIQUE,
 state TEXT NOT NULL CHECK (state IN ('started', 'finished')),
 time TEXT NOT NULL, host TEXT NOT NULL, station TEXT NOT NULL, operator TEXT NOT NULL,
 program_version TEXT NOT NULL, path TEXT NOT NULL, serial BLOB NOT NULL, port TEXT NOT NULL,
 slot TEXT NOT NULL, mcu INTEGER NOT NULL, usb INTEGER NOT NULL, mcu_version TEXT NOT NULL,
 usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,
 status INTEGER, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms INTEGER NOT NULL,
 time_utc TEXT NOT NULL, finished_utc TEXT, rev INTEGER NOT NULL);
"""

COLUMNS = ("run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb, "
           "mcu_version, usb_version, mcu_checksum, usb_checksum, failure, message, duration_ms")


def sqlite_version(path):
    with sqlite3.connect(path) as db:
        return db.execute("PRAGMA user_version").fetchone()[0]


def sqlite_upgrade(path):
    """Upgrades a version-1 SQLite record in place, as a station of version 2
    does: every row kept, time_utc from time's offset, status NULL for started
    rows, rev = id."""
    if sqlite_version(path) >= 2:
        return
    db = sqlite3.connect(path, isolation_level=None)
    try:
        db.execute("BEGIN IMMEDIATE")
        db.execute(SQLITE_V2)
        db.execute(
            "INSERT INTO units2 (id, " + COLUMNS + ", status, time_utc, finished_utc, rev) "
            "SELECT id, " + COLUMNS + ", CASE WHEN state = 'started' THEN NULL ELSE status END, "
            "strftime('%Y-%m-%dT%H:%M:%SZ', time), "
            "CASE WHEN state = 'finished' THEN strftime('%Y-%m-%dT%H:%M:%SZ', time) END, id FROM units")
        db.execute("DROP TABLE units")
        db.execute("ALTER TABLE units2 RENAME TO units")
        db.execute("CREATE INDEX units_serial ON units (serial, id)")
        db.execute("CREATE INDEX units_time_utc ON units (time_utc)")
        db.execute("CREATE INDEX units_rev ON units (rev)")
        db.execute("PRAGMA user_version = 2")
        db.execute("COMMIT")
    finally:
        db.close()


def sqlite_copy_rows(source, target):
    """Writes the runs of a version-1 record into a version-2 one as a
    station of version 2 would (one transaction per row, rev growing)."""
    with sqlite3.connect(source) as src:
        rows = src.execute("SELECT " + COLUMNS + ", status FROM units ORDER BY id").fetchall()
    db = sqlite3.connect(target, isolation_level=None, timeout=10)
    try:
        for row in rows:
            values = list(row[:-1])
            state = values[1]
            status = None if state == 'started' else row[-1]
            db.execute("BEGIN IMMEDIATE")
            db.execute(
                "INSERT INTO units (" + COLUMNS + ", status, time_utc, finished_utc, rev) VALUES (" +
                ", ".join("?" * 20) + ", ?, strftime('%Y-%m-%dT%H:%M:%SZ', ?), "
                "CASE WHEN ? = 'finished' THEN strftime('%Y-%m-%dT%H:%M:%SZ', 'now') END, "
                "(SELECT COALESCE(MAX(rev), 0) + 1 FROM units))",
                values + [status, values[2], state])
            db.execute("COMMIT")
    finally:
        db.close()


# PostgreSQL: a version-1 table made version 2 in place, with defaults and a
# trigger that fill the new columns, so that a station of version 1 writes
# rows a version-2 reader sees (and the channel is notified).
POSTGRES_UPGRADE = r"""
SET client_min_messages = warning;
DO $$ BEGIN
IF to_regclass('orvik_schema') IS NULL THEN
  CREATE SEQUENCE IF NOT EXISTS units_rev_seq;
  ALTER TABLE units ALTER COLUMN status DROP NOT NULL;
  ALTER TABLE units ADD COLUMN time_utc TEXT;
  UPDATE units SET time_utc = to_char(time::timestamptz AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"');
  ALTER TABLE units ALTER COLUMN time_utc SET NOT NULL;
  ALTER TABLE units ADD COLUMN finished_utc TEXT;
  ALTER TABLE units ADD COLUMN rev BIGINT;
  UPDATE units SET rev = id;
  PERFORM setval('units_rev_seq', COALESCE((SELECT MAX(id) FROM units), 0) + 1);
  ALTER TABLE units ALTER COLUMN rev SET NOT NULL;
  CREATE INDEX units_time_utc ON units (time_utc);
  CREATE INDEX units_rev ON units (rev);
  CREATE TABLE orvik_schema (version INTEGER NOT NULL);
  INSERT INTO orvik_schema VALUES (2);
END IF;
END $$;
CREATE OR REPLACE FUNCTION orvik_test_v1_fill() RETURNS trigger AS $$
BEGIN
  IF NEW.time_utc IS NULL THEN
    NEW.time_utc := to_char(NEW.time::timestamptz AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"');
  END IF;
  NEW.rev := nextval('units_rev_seq');
  IF NEW.state = 'started' THEN NEW.status := NULL; END IF;
  IF NEW.state = 'finished' AND NEW.finished_utc IS NULL THEN
    NEW.finished_utc := to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"');
  END IF;
  RETURN NEW;
END $$ LANGUAGE plpgsql;
DROP TRIGGER IF EXISTS orvik_test_v1_fill ON units;
CREATE TRIGGER orvik_test_v1_fill BEFORE INSERT OR UPDATE ON units FOR EACH ROW EXECUTE FUNCTION orvik_test_v1_fill();
CREATE OR REPLACE FUNCTION orvik_units_notify() RETURNS trigger AS $$
BEGIN
  PERFORM pg_notify('orvik_units', NEW.id::text);
  RETURN NEW;
END $$ LANGUAGE plpgsql;
DROP TRIGGER IF EXISTS units_notify ON units;
CREATE TRIGGER units_notify AFTER INSERT OR UPDATE ON units FOR EACH ROW EXECUTE FUNCTION orvik_units_notify();
"""
