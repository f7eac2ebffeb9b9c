// The record's one table definition: the server's script in the docs is the
// program's own, and both back ends' columns come from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "record/sql_schema.h"

namespace orvik::record {
namespace {

std::string ReadSource(const std::string& relative) {
  const char* source = std::getenv("ORVIK_SOURCE_DIR");
  std::ifstream in(std::string(source != nullptr ? source : ".") + "/" + relative, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// docs/record-server.sql holds, between its two marker lines, exactly the
// schema the program runs: a change to the table that is not made there too
// fails here (the expected text is printed, to paste).
TEST(RecordSql, TheServerScriptInTheDocsIsTheProgramsSchema) {
  const std::string text = ReadSource("docs/record-server.sql");
  ASSERT_FALSE(text.empty()) << "docs/record-server.sql not found (ORVIK_SOURCE_DIR)";
  const std::string begin = "-- The schema, as orvik-updater-cli runs it (generated: do not edit by hand)\n";
  const std::string end = "-- End of the schema\n";
  const std::size_t from = text.find(begin);
  const std::size_t to = text.find(end);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(text.substr(from + begin.size(), to - from - begin.size()), PostgresSchemaSql());
}

// Version 2 is version 1 plus three columns; both back ends create every
// column of it.
TEST(RecordSql, BothBackEndsCreateEveryColumnOfTheVersion) {
  const auto v1 = ColumnsOfVersion(1);
  const auto v2 = ColumnsOfVersion(2);
  ASSERT_EQ(v2.size(), v1.size() + 3);
  EXPECT_TRUE(std::equal(v1.begin(), v1.end(), v2.begin()));
  for (const std::string& column : v2) {
    SCOPED_TRACE(column);
    EXPECT_NE(SqliteCreateSql().find("\n  " + column + " "), std::string::npos);
    EXPECT_NE(PostgresSchemaSql().find("\n  " + column + " "), std::string::npos);
  }
  EXPECT_NE(PostgresSchemaSql().find("pg_notify('orvik_units', NEW.id::text)"), std::string::npos);
}

// Times in UTC from the local time's own offset: lexicographic order is time
// order, across a day's and a year's end.
TEST(RecordSql, TheUtcTimeComesFromTheLocalTimesOffset) {
  struct Case {
    const char* local;
    const char* utc;
  };
  for (const Case& c : {
           Case{"2026-12-08T09:41:05+01:00", "2026-12-08T08:41:05Z"},
           Case{"2026-12-31T23:30:00-05:30", "2027-01-01T05:00:00Z"},
           Case{"2027-01-01T00:15:00+02:00", "2026-12-31T22:15:00Z"},
           Case{"2028-02-29T12:00:00Z", "2028-02-29T12:00:00Z"},
           Case{"2026-02-30T12:00:00+00:00", ""},
           Case{"2026-12-08 09:41:05", ""},
           Case{"r1", ""},
       }) {
    SCOPED_TRACE(c.local);
    EXPECT_EQ(UtcTimeOf(c.local), c.utc);
  }
}

}  // namespace
}  // namespace orvik::record
