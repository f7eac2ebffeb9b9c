// A record server's URI in messages: the back end it names, how it is shown,
// and that no credential it holds reaches a message, whatever characters
// the credential holds.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "record/record.h"

namespace orvik::record {
namespace {

TEST(RecordUri, TheFormAndTheShownNameFollowTheArgument) {
  struct Case {
    const char* spec;
    Backend backend;
    const char* shown;
  };
  for (const Case& c : {
           Case{"units.jsonl", Backend::Files, "units.jsonl"},
           Case{"units.CSV", Backend::Files, "units.CSV"},
           Case{"units.sqlite3", Backend::Sqlite, "units.sqlite3"},
           Case{"postgresql://ana:pw@db.line/units?sslmode=verify-full", Backend::Postgres,
                "postgresql://ana@db.line/units?sslmode=verify-full"},
           Case{"postgres://db/units?password=pw&user=ana", Backend::Postgres, "postgres://db/units?user=ana"},
           Case{"postgresql:///units?host=/run/pg&user=orvik", Backend::Postgres,
                "postgresql:///units?host=/run/pg&user=orvik"},
       }) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(BackendFor(c.spec), c.backend);
    EXPECT_EQ(DisplayName(c.spec), c.shown);
  }
}

// Each URI holds the secret "S3CRET" somewhere a password goes; neither the
// shown name nor a message that quotes the URI, raw or decoded as the client
// library quotes it, holds any of it.
TEST(RecordUri, NoCredentialIsShownWhateverCharactersItHolds) {
  struct Case {
    const char* spec;
    const char* shown;
  };
  for (const Case& c : {
           Case{"postgresql://postgres:pa?S3CRETc@/units?host=/tmp/s", "postgresql://postgres@/units?host=/tmp/s"},
           Case{"postgresql://postgres:pa/S3CRETd@localhost", "postgresql://postgres@localhost"},
           Case{"postgresql://postgres:p@S3CRET@db/units", "postgresql://postgres@db/units"},
           Case{"postgresql://postgres:p#S3CRET@db/units", "postgresql://postgres@db/units"},
           Case{"postgresql://postgres:%53%33CRET@db/units", "postgresql://postgres@db/units"},
           Case{"postgresql://po/s:S3CRET@db/units", "postgresql://db/units"},
           Case{"postgresql://db/units?password=S3CRET", "postgresql://db/units"},
           Case{"postgresql://db/units?sslmode=require&PassWord=x&S3CRET&user=ana",
                "postgresql://db/units?sslmode=require&user=ana"},
           Case{"postgresql://db/units?pass%77ord=S3CRET%40x", "postgresql://db/units"},
           Case{"postgresql://db/units?user=ana&password=a?b/S3CRET#c", "postgresql://db/units?user=ana"},
       }) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(DisplayName(c.spec), c.shown);
    EXPECT_TRUE(HoldsPassword(c.spec));
    // What the client library's messages look like: the URI quoted, as
    // given or decoded.
    const std::string spec = c.spec;
    std::string decoded = spec;
    for (std::size_t at = decoded.find("%53%33"); at != std::string::npos; at = decoded.find("%53%33")) {
      decoded.replace(at, 6, "S3");
    }
    for (const std::string& message : {"invalid URI: \"" + spec + "\"", "bad value \"" + decoded + "\" here"}) {
      const std::string scrubbed = WithoutCredentials(message, c.spec);
      EXPECT_EQ(scrubbed.find("S3CRET"), std::string::npos) << scrubbed;
      EXPECT_EQ(scrubbed.find("%53%33CRET"), std::string::npos) << scrubbed;
    }
  }
}

TEST(RecordUri, AUriWithoutAPasswordIsTakenAsItIs) {
  for (const char* spec : {"postgresql://ana@db.line/units?sslmode=verify-full", "postgresql:///units?host=/run/pg",
                           "postgresql://db:5432/units?user=ana%40corp"}) {
    SCOPED_TRACE(spec);
    EXPECT_FALSE(HoldsPassword(spec));
    EXPECT_EQ(WithoutCredentials(std::string("cannot reach ") + spec, spec), std::string("cannot reach ") + spec);
  }
}

// 128 random bits as 32 lowercase hex digits, never the same twice.
TEST(RecordUri, RunIdsAre128RandomBitsInHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = NewRunId();
    ASSERT_EQ(id.size(), 32u) << id;
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_TRUE(seen.insert(id).second) << id;
  }
}

}  // namespace
}  // namespace orvik::record
