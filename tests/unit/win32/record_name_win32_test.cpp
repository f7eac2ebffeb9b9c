// The record's form is that of the file Windows opens (run through Wine):
// "rec.csv." opens rec.csv, so it is CSV; "units.db." is a database.
#include <gtest/gtest.h>

#include <string>

#include "log/native_path.h"
#include "record/file_record.h"
#include "record/record.h"
#include "support/test_support.h"

namespace orvik::record {
namespace {

TEST(RecordName, TheFormIsThatOfTheFileOpened) {
  const std::pair<const char*, RecordFormat> cases[] = {
      {"rec.csv.", RecordFormat::Csv},           {"rec.CSV . .", RecordFormat::Csv},
      {"rec.jsonl.", RecordFormat::JsonLines},   {"rec.csv.jsonl", RecordFormat::JsonLines},
  };
  for (const auto& [name, format] : cases) {
    test::TempDir dir;
    const std::string path = PathToUtf8(dir.path()) + "\\" + name;
    std::string error, warning;
    const auto record = FileRecord::Open(path, RecordImage{}, error, warning);
    ASSERT_TRUE(record) << name << ": " << error;
    EXPECT_EQ(record->Format(), format) << name;
    Unit unit;
    unit.path = "emulated:1";
    Recorder::Run run;
    run.runId = "1";
    run.unit = &unit;
    ASSERT_TRUE(record->Started(run, error)) << error;
    const std::string opened = FileNameAsOpened(name);
    const auto bytes = test::ReadBytes(dir.path() / opened);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.rfind("time,", 0) == 0, format == RecordFormat::Csv) << name << ": " << text;
  }
}

TEST(RecordName, ADatabaseNameWithTrailingDotsIsStillADatabase) {
  EXPECT_EQ(BackendFor("units.db."), Backend::Sqlite);
  EXPECT_EQ(BackendFor("C:\\line\\units.sqlite . "), Backend::Sqlite);
  EXPECT_EQ(BackendFor("units.db.csv"), Backend::Files);
}

}  // namespace
}  // namespace orvik::record
