-- The station record's table on a PostgreSQL server, for a server where the
-- stations' role may not create tables. Run once as the database's owner:
--
--   psql -d units -v station=station -f docs/record-server.sql
--
-- The stations then need only what this grants the role: read and add rows,
-- and complete a started row. The table is the one orvik-updater-cli creates
-- itself where it may.

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
  status INTEGER NOT NULL,
  failure INTEGER NOT NULL,
  message TEXT NOT NULL,
  duration_ms BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS units_serial ON units (serial, id);

\if :{?station}
\else
  \set station station
\endif
GRANT CONNECT ON DATABASE :"DBNAME" TO :"station";
GRANT USAGE ON SCHEMA public TO :"station";
GRANT SELECT, INSERT, UPDATE ON units TO :"station";
GRANT USAGE ON SEQUENCE units_id_seq TO :"station";
