// The record's back ends, each in its own file; OpenRecord chooses one.
#pragma once

#include <memory>
#include <string>

#include "record/record.h"

namespace orvik::record {

std::unique_ptr<StationRecord> OpenFileRecord(const std::string& path, const RecordOptions& options,
                                              std::string& error, std::string& notice);
std::unique_ptr<StationRecord> OpenSqliteRecord(const std::string& path, const RecordOptions& options,
                                                std::string& error, std::string& notice);
std::unique_ptr<StationRecord> OpenPostgresRecord(const std::string& uri, const RecordOptions& options,
                                                  std::string& error, std::string& notice);

}  // namespace orvik::record
