// The record in SQLite and PostgreSQL at a line's scale: 1,000,000 units.
#pragma once

#include <filesystem>
#include <string>

#include "record/record_text.h"

namespace orvik::bench {

// For each database whose case name ("record SQLite", "record PostgreSQL")
// contains `only`: start-up to the first unit, the skip look-up, and a run's
// two writes (started, finished), each flushed to the disk. PostgreSQL uses
// the server ORVIK_BENCH_PG_URI names (a local one, e.g. started by
// tests/record/pg_server.sh), and is skipped without it.
void BenchRecordDatabases(const std::filesystem::path& dir, const std::string& only, const record::RecordImage& image);

}  // namespace orvik::bench
