// A build without the database libraries: the record is files only.
#include "bench_record_db.h"

namespace orvik::bench {

void BenchRecordDatabases(const std::filesystem::path&, const std::string&, const record::RecordImage&) {}

}  // namespace orvik::bench
