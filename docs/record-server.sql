-- The station record's table on a PostgreSQL server, for a server where the
-- stations' role may not create tables. Run once as the database's owner:
--
--   psql -d units -v station=station -f docs/record-server.sql
--
-- The stations then need only what this grants the role: read and add rows,
-- and complete a started row. The table is the one orvik-updater-cli creates
-- itself where it may (schema version 2). Run on a version-1 table, it
-- upgrades it in place in one transaction, every row kept; run again, it
-- changes nothing.

BEGIN;
SELECT pg_advisory_xact_lock(7301953);
-- The schema, as orvik-updater-cli runs it (generated: do not edit by hand)
CREATE TABLE IF NOT EXISTS units (
  id BIGSERIAL PRIMARY KEY,
  run_id TEXT NOT NULL UNIQUE,
  state TEXT NOT NULL CHECK (state IN ('started', 'finished')),
  time TEXT NOT NULL,
  host TEXT NOT NULL,
  station TEXT NOT NULL,
  operator TEXT NOT NULL,
  program_version TEXT NOT NULL,
  path TEXT NOT NULL,
  serial BYTEA NOT NULL,
  port TEXT NOT NULL,
  slot TEXT NOT NULL,
  mcu BOOLEAN NOT NULL,
  usb BOOLEAN NOT NULL,
  mcu_version TEXT NOT NULL,
  usb_version TEXT NOT NULL,
  mcu_checksum TEXT NOT NULL,
  usb_checksum TEXT NOT NULL,
  status INTEGER,
  failure INTEGER NOT NULL,
  message TEXT NOT NULL,
  duration_ms BIGINT NOT NULL,
  time_utc TEXT NOT NULL,
  finished_utc TEXT,
  rev BIGINT NOT NULL
);
-- A version-1 table: the columns version 2 added, filled for every row.
ALTER TABLE units ADD COLUMN IF NOT EXISTS time_utc TEXT,
  ADD COLUMN IF NOT EXISTS finished_utc TEXT, ADD COLUMN IF NOT EXISTS rev BIGINT;
ALTER TABLE units ALTER COLUMN status DROP NOT NULL;
UPDATE units SET
  time_utc = CASE WHEN "time" ~ '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$'
    THEN to_char("time"::timestamptz AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') ELSE '' END,
  finished_utc = CASE WHEN state = 'finished'
    AND "time" ~ '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$'
    THEN to_char(("time"::timestamptz + duration_ms * interval '1 millisecond') AT TIME ZONE 'UTC',
      'YYYY-MM-DD"T"HH24:MI:SS"Z"') END,
  status = CASE WHEN state = 'started' THEN NULL ELSE status END,
  rev = id
  WHERE rev IS NULL;
ALTER TABLE units ALTER COLUMN time_utc SET NOT NULL, ALTER COLUMN rev SET NOT NULL;
CREATE SEQUENCE IF NOT EXISTS units_rev_seq;
SELECT setval('units_rev_seq', GREATEST((SELECT COALESCE(MAX(rev), 0) FROM units) + 1,
  (SELECT last_value FROM units_rev_seq)));
CREATE INDEX IF NOT EXISTS units_serial ON units (serial, id);
CREATE INDEX IF NOT EXISTS units_time_utc ON units (time_utc);
CREATE INDEX IF NOT EXISTS units_rev ON units (rev);
CREATE OR REPLACE FUNCTION orvik_units_notify() RETURNS trigger LANGUAGE plpgsql AS
  $$BEGIN PERFORM pg_notify('orvik_units', NEW.id::text); RETURN NULL; END$$;
CREATE OR REPLACE TRIGGER units_notify AFTER INSERT OR UPDATE ON units
  FOR EACH ROW EXECUTE FUNCTION orvik_units_notify();
CREATE TABLE IF NOT EXISTS orvik_schema (version INTEGER NOT NULL);
DELETE FROM orvik_schema;
INSERT INTO orvik_schema (version) VALUES (2);
-- End of the schema
COMMIT;

\if :{?station}
\else
  \set station station
\endif
GRANT CONNECT ON DATABASE :"DBNAME" TO :"station";
GRANT USAGE ON SCHEMA public TO :"station";
GRANT SELECT, INSERT, UPDATE ON units TO :"station";
GRANT USAGE ON SEQUENCE units_id_seq, units_rev_seq TO :"station";
GRANT SELECT ON orvik_schema TO :"station";
