// A build without the database libraries (the Windows cross build): the
// record is kept in files only.
#include "record/backends.h"

namespace orvik::record {

bool DatabasesBuilt() { return false; }

std::unique_ptr<StationRecord> OpenSqliteRecord(const std::string& path, const RecordOptions& options,
                                                std::string& error, std::string& notice) {
  (void)path, (void)options, (void)notice;
  error = "this build keeps the record in files only (.jsonl, .csv)";
  return nullptr;
}

std::unique_ptr<StationRecord> OpenPostgresRecord(const std::string& uri, const RecordOptions& options,
                                                  std::string& error, std::string& notice) {
  (void)uri, (void)options, (void)notice;
  error = "this build keeps the record in files only (.jsonl, .csv)";
  return nullptr;
}

}  // namespace orvik::record
