// The line view (orvik-line) over a record of 1,000,000 runs from 16
// stations: the summary and the first page of units served, and the time
// from a station's committed row to the event reaching a connected browser's
// stream with 16 stations writing at once.
#pragma once

#include <filesystem>
#include <string>

namespace orvik::bench {

// For each database whose case name ("line view SQLite", "line view
// PostgreSQL") contains `only`. PostgreSQL uses the server ORVIK_BENCH_PG_URI
// names (its table is replaced), and is skipped without it.
void BenchLineView(const std::filesystem::path& dir, const std::string& only);

}  // namespace orvik::bench
