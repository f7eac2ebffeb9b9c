// The record's lines: the faults a device's bytes, a spreadsheet and a torn
// file bring, each read back as written or refused, never misread; and the
// look-up that decides whether a unit is passed over.
#include "record/record_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "record/record.h"
#include "support/test_support.h"

namespace orvik::record {
namespace {

const RecordImage kImage{"Y1-3", "Y1-1", "0x02ae", "0x63ed"};

RecordLine Line(std::string serial, const char* state = kStateFinished, int status = 0, std::string runId = "r1") {
  RecordLine line;
  line.time = "2026-12-08T09:41:05+01:00";
  line.host = "line-3";
  line.programVersion = "2.0.0.6";
  line.path = "/dev/hidraw3";
  line.serial = std::move(serial);
  line.mcu = line.usb = true;
  line.mcuVersion = "Y1-3";
  line.usbVersion = "Y1-1";
  line.mcuChecksum = "0x02ae";
  line.usbChecksum = "0x63ed";
  line.status = status;
  line.message = "Update complete";
  line.durationMs = 5021;
  line.station = "s1";
  line.runId = std::move(runId);
  line.state = state;
  return line;
}

std::vector<RecordLine> Read(const std::string& text, RecordFormat format, std::size_t* bad = nullptr) {
  std::vector<RecordLine> lines;
  const RecordContents contents = ReadRecord(text, format, [&](const RecordLine& line) { lines.push_back(line); });
  if (bad != nullptr) *bad = contents.badLines;
  return lines;
}

// Whatever bytes a device sends, both formats give them back exactly, and
// two serials that differ in one invalid byte stay two units.
TEST(RecordText, EveryByteOfATextSurvivesBothFormats) {
  for (const std::string& serial : {std::string("A\xFF"), std::string("A\xFE"), std::string("A\\xFF"),
                                   std::string("\xC3\xA9\"q\\x\x01", 7), std::string("\0NUL", 4),
                                   std::string("\xE2\x80\xAE" "evil\xE2\x80\xA8", 10), std::string("=1+2")}) {
    for (const RecordFormat format : {RecordFormat::JsonLines, RecordFormat::Csv}) {
      SCOPED_TRACE(serial + (format == RecordFormat::Csv ? " csv" : " json"));
      RecordLine line = Line(serial);
      line.message = serial;
      const std::string header = format == RecordFormat::Csv ? CsvHeader() : "";
      const std::vector<RecordLine> back = Read(header + FormatRecordLine(format, line), format);
      ASSERT_EQ(back.size(), 1u);
      EXPECT_EQ(back[0], line);
    }
  }
  RecordIndex index;
  index.Add(Line("A\xFF"));
  EXPECT_TRUE(index.UpdatedAt("A\xFF", kImage, true, true));
  EXPECT_FALSE(index.UpdatedAt("A\xFE", kImage, true, true));
}

// What a terminal or a viewer would act on or hide is escaped in a CSV cell,
// byte by byte; other text stays as it is.
TEST(RecordText, CsvCellsEscapeWhatATerminalActsOnOrHides) {
  struct Case {
    const char* text;
    const char* cell;
  };
  for (const Case& c : {
           Case{"\xC2\x85", "\"\\xC2\\x85\""},              // NEL, a C1 control
           Case{"\xC2\x9B" "2J", "\"\\xC2\\x9B2J\""},       // CSI
           Case{"\xE2\x80\xAE", "\"\\xE2\\x80\\xAE\""},     // right-to-left override
           Case{"\xE2\x80\x8F", "\"\\xE2\\x80\\x8F\""},     // right-to-left mark
           Case{"\xE2\x81\xA6", "\"\\xE2\\x81\\xA6\""},     // left-to-right isolate
           Case{"\xE2\x80\xA8", "\"\\xE2\\x80\\xA8\""},     // line separator
           Case{"\xE2\x80\xA9", "\"\\xE2\\x80\\xA9\""},     // paragraph separator
           Case{"\xE2\x80\x8B", "\"\\xE2\\x80\\x8B\""},     // zero-width space
           Case{"\xE2\x81\xA0", "\"\\xE2\\x81\\xA0\""},     // word joiner
           Case{"\xEF\xBB\xBF", "\"\\xEF\\xBB\\xBF\""},     // zero-width no-break space
           Case{"\xC3\xA9\xE2\x82\xAC", "\"\xC3\xA9\xE2\x82\xAC\""},  // printable: kept
       }) {
    SCOPED_TRACE(c.cell);
    EXPECT_EQ(CsvCell(c.text), c.cell);
    EXPECT_EQ(CsvCellText(std::string(c.cell).substr(1, std::string(c.cell).size() - 2)), c.text);
  }
}

// Numbers out of range are refused in both formats and on both JSON paths,
// never wrapped; old lines without the newer fields still count.
TEST(RecordText, LinesAreReadAsWrittenOrRefused) {
  const std::string json = FormatRecordLine(RecordFormat::JsonLines, Line("SN1"));
  const std::string csv = FormatRecordLine(RecordFormat::Csv, Line("SN1"));
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  // An old line: the first 15 fields.
  const std::string oldJson = json.substr(0, json.find(",\"station\"")) + "}\n";
  const std::string oldCsvHeader = CsvHeader().substr(0, CsvHeader().find(",station")) + "\n";
  const std::string oldCsv = csv.substr(0, csv.find(",\"s1\"")) + "\n";
  struct Case {
    const char* name;
    std::string text;
    RecordFormat format;
    bool reads;
  };
  for (const Case& c : {
           Case{"json", json, RecordFormat::JsonLines, true},
           Case{"json status 2^32", replaced(json, "\"status\":0", "\"status\":4294967296"), RecordFormat::JsonLines, false},
           Case{"json status 256", replaced(json, "\"status\":0", "\"status\":256"), RecordFormat::JsonLines, false},
           Case{"json status -1", replaced(json, "\"status\":0", "\"status\":-1"), RecordFormat::JsonLines, false},
           Case{"json 20 digits", replaced(json, "\"duration_ms\":5021", "\"duration_ms\":99999999999999999999"),
                RecordFormat::JsonLines, false},
           Case{"json 19 digits", replaced(json, "\"duration_ms\":5021", "\"duration_ms\":9223372036854775807"),
                RecordFormat::JsonLines, true},
           Case{"json bad state", replaced(json, "\"finished\"", "\"done\""), RecordFormat::JsonLines, false},
           Case{"json old line", oldJson, RecordFormat::JsonLines, true},
           Case{"json BOM", "\xEF\xBB\xBF" + json, RecordFormat::JsonLines, true},
           Case{"csv", CsvHeader() + csv, RecordFormat::Csv, true},
           Case{"csv status 2^32", CsvHeader() + replaced(csv, ",0,0,", ",4294967296,0,"), RecordFormat::Csv, false},
           Case{"csv 20 digits", CsvHeader() + replaced(csv, ",5021,", ",99999999999999999999,"), RecordFormat::Csv,
                false},
           Case{"csv negative", CsvHeader() + replaced(csv, ",5021,", ",-5021,"), RecordFormat::Csv, false},
           Case{"csv old header and line", oldCsvHeader + oldCsv, RecordFormat::Csv, true},
           Case{"csv BOM", "\xEF\xBB\xBF" + CsvHeader() + csv, RecordFormat::Csv, true},
           Case{"csv new header after old lines", oldCsvHeader + oldCsv + CsvHeader() + csv, RecordFormat::Csv, true},
       }) {
    SCOPED_TRACE(c.name);
    std::size_t bad = 0;
    const std::vector<RecordLine> lines = Read(c.text, c.format, &bad);
    EXPECT_EQ(bad, c.reads ? 0u : 1u);
    ASSERT_EQ(!lines.empty(), c.reads);
    if (!c.reads) continue;
    EXPECT_EQ(lines.back().serial, "SN1");
    EXPECT_TRUE(lines.back().Finished());
  }
}

// Only a finished success of the latest run passes a unit over: a run that
// never finished, or a later one that failed, gets it updated.
TEST(RecordText, OnlyAFinishedLatestRunPassesAUnitOver) {
  struct Case {
    const char* name;
    std::vector<RecordLine> lines;
    bool passedOver;
  };
  for (const Case& c : {
           Case{"finished", {Line("S", kStateStarted), Line("S")}, true},
           Case{"old line, no run id", {Line("S", kStateFinished, 0, "")}, true},
           Case{"never finished", {Line("S", kStateStarted)}, false},
           Case{"killed re-flash", {Line("S"), Line("S", kStateStarted, 0, "r2")}, false},
           Case{"failed", {Line("S", kStateStarted), Line("S", kStateFinished, 1)}, false},
           Case{"an overtaken run's result",
                {Line("S", kStateStarted), Line("S", kStateStarted, 0, "r2"), Line("S", kStateFinished, 0, "r1")},
                false},
           Case{"the latest run's result after another's",
                {Line("S", kStateStarted), Line("S", kStateStarted, 0, "r2"), Line("S", kStateFinished, 0, "r1"),
                 Line("S", kStateFinished, 0, "r2")},
                true},
       }) {
    SCOPED_TRACE(c.name);
    RecordIndex index;
    for (const RecordLine& line : c.lines) index.Add(line);
    EXPECT_EQ(index.UpdatedAt("S", kImage, true, true).has_value(), c.passedOver);
  }
}

// Each back end on a real file: a started run is never passed over, a
// finished one is, and the history shows the run once, newest first.
TEST(RecordBackends, StartedThenFinishedInEachFileForm) {
  test::TempDir dir;
  for (const char* name : {"units.jsonl", "units.csv", "units.db"}) {
    SCOPED_TRACE(name);
    const std::string path = (dir / name).string();
    RecordOptions options;
    options.image = kImage;
    options.station = "s1";
    std::string error, notice;
    auto record = OpenRecord(path, options, error, notice);
    if (BackendFor(path) == Backend::Sqlite && !DatabasesBuilt()) {
      EXPECT_FALSE(record);
      EXPECT_NE(error.find("files only"), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(record) << error;
    Unit unit;
    unit.path = "/dev/hidraw3";
    unit.serial = std::string("A\xFF", 2);
    for (const char* runId : {"r1", "r2"}) {
      Recorder::Run run;
      run.runId = runId;
      run.unit = &unit;
      run.time = runId;
      ASSERT_TRUE(record->Started(run, error)) << error;
      EXPECT_FALSE(record->UpdatedAt(unit.serial, true, true));
      run.message = "Update complete";
      ASSERT_TRUE(record->Finished(run, error)) << error;
      EXPECT_EQ(record->UpdatedAt(unit.serial, true, true), runId);
      EXPECT_FALSE(record->UpdatedAt(unit.serial, true, false));
      EXPECT_FALSE(record->UpdatedAt(std::string("A\xFE", 2), true, true));
    }
    std::vector<RecordLine> lines;
    ASSERT_TRUE(record->History(std::nullopt, lines, error)) << error;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].runId, "r2");
    EXPECT_EQ(lines[0].serial, unit.serial);
    EXPECT_EQ(lines[0].message, "Update complete");
    EXPECT_TRUE(lines[0].Finished());
    EXPECT_EQ(record->Where(), path);
  }
}

}  // namespace
}  // namespace orvik::record
