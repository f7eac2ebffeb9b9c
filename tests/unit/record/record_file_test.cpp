// The record's files read from the end: --history newest first in bounded
// memory across chunks and CSV headers, and the skip look-up reading back
// only as far as the serial's latest run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "record/file_record.h"
#include "support/test_support.h"

namespace orvik::record {
namespace {

namespace fs = std::filesystem;

const RecordImage kImage{"Y1-3", "Y1-1", "0x02ae", "0x63ed"};

RecordLine Line(const std::string& serial, const std::string& runId, const char* state, int status = 0) {
  RecordLine line;
  line.time = "2026-12-08T09:41:05+01:00";
  line.host = "h";
  line.programVersion = "2.0.0.6";
  line.path = "/dev/hidraw3";
  line.serial = serial;
  line.mcu = line.usb = true;
  line.mcuChecksum = kImage.mcuChecksum;
  line.usbChecksum = kImage.usbChecksum;
  line.status = status;
  line.runId = runId;
  line.state = state;
  return line;
}

std::string Write(const fs::path& path, const std::vector<RecordLine>& lines, const std::string& header = "") {
  const RecordFormat format = RecordFormatFor(path.string());
  std::string text = format == RecordFormat::Csv ? (header.empty() ? CsvHeader() : header) : "";
  for (const RecordLine& line : lines) text += FormatRecordLine(format, line);
  test::WriteBytes(path, {text.begin(), text.end()});
  return text;
}

std::vector<std::string> History(const fs::path& path, std::optional<std::string> serial = std::nullopt) {
  RecordOptions options;
  options.readOnly = true;
  std::string error, warning;
  const auto record = FileRecord::Open(path.string(), options, error, warning);
  EXPECT_TRUE(record) << error;
  std::vector<std::string> runs;
  if (!record) return runs;
  EXPECT_TRUE(record->History(
      serial,
      [&](const RecordLine& line) {
        runs.push_back(line.runId + ":" + line.state.substr(0, 1) + (line.Finished() ? std::to_string(line.status) : ""));
        return true;
      },
      error))
      << error;
  return runs;
}

// Newest first by a run's start; a run's result stands for its start, even
// when other runs' lines come between them; a result whose start is not in
// the file, and an old line without a run id, are runs of their own.
TEST(RecordFile, HistoryIsNewestFirstByStartInBothForms) {
  test::TempDir dir;
  const std::vector<RecordLine> lines = {
      Line("A", "", kStateFinished),        Line("A", "r1", kStateStarted),  Line("B", "r2", kStateStarted),
      Line("B", "r2", kStateFinished, 1),   Line("C", "r3", kStateStarted),  Line("A", "r1", kStateFinished),
      Line("D", "r4", kStateFinished),      Line("C", "r5", kStateStarted),
  };
  for (const char* name : {"h.jsonl", "h.csv"}) {
    SCOPED_TRACE(name);
    Write(dir / name, lines);
    EXPECT_EQ(History(dir / name),
              (std::vector<std::string>{"r5:s", "r3:s", "r2:f1", "r1:f0", ":f0", "r4:f0"}));
    EXPECT_EQ(History(dir / name, "C"), (std::vector<std::string>{"r5:s", "r3:s"}));
  }
}

// A record of many chunks, and a CSV record whose older lines sit under an
// older header: every run read once, each under its own header.
TEST(RecordFile, HistoryReadsAcrossChunksAndHeaders) {
  test::TempDir dir;
  std::vector<RecordLine> lines;
  constexpr int kRuns = 5000;  // more than one chunk in either form
  for (int i = 0; i < kRuns; ++i) {
    lines.push_back(Line(std::string("S") + std::to_string(i), std::string("r") + std::to_string(i), kStateStarted));
    lines.push_back(Line(std::string("S") + std::to_string(i), std::string("r") + std::to_string(i), kStateFinished, i % 2));
  }
  for (const char* name : {"big.jsonl", "big.csv"}) {
    SCOPED_TRACE(name);
    const std::string text = Write(dir / name, lines);
    ASSERT_GT(text.size(), (1u << 20) + (1u << 18));
    const auto runs = History(dir / name);
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(kRuns));
    EXPECT_EQ(runs.front(), "r4999:f1");
    EXPECT_EQ(runs.back(), "r0:f0");
  }
  // The first 15 fields under their old header, then the current header.
  const std::string oldHeader = CsvHeader().substr(0, CsvHeader().find(",station")) + "\n";
  std::string text = oldHeader;
  for (int i = 0; i < 3; ++i) {
    const std::string csv = FormatRecordLine(RecordFormat::Csv, Line(std::string("O") + std::to_string(i), "", kStateFinished));
    std::size_t cut = 0;
    for (int comma = 0; comma < 15; ++comma) cut = csv.find(',', cut) + 1;
    text += csv.substr(0, cut - 1) + "\n";
  }
  text += CsvHeader() + FormatRecordLine(RecordFormat::Csv, Line("N", "n1", kStateStarted));
  test::WriteBytes(dir / "mixed.csv", {text.begin(), text.end()});
  EXPECT_EQ(History(dir / "mixed.csv"), (std::vector<std::string>{"n1:s", ":f0", ":f0", ":f0"}));
}

// The look-up reads back from the end: a serial's latest run decides, a run
// that never finished or failed is not passed over, and a serial whose only
// run lies beyond the look-back window is flashed again.
TEST(RecordFile, TheLookUpReadsBackToTheSerialsLatestRun) {
  test::TempDir dir;
  struct Case {
    const char* name;
    std::vector<RecordLine> lines;
    bool passedOver;
  };
  std::vector<RecordLine> filler;
  for (int i = 0; i < 500; ++i) filler.push_back(Line(std::string("F") + std::to_string(i), std::string("f") + std::to_string(i), kStateFinished));
  const auto with = [&](std::vector<RecordLine> first, const std::vector<RecordLine>& then = {}) {
    first.insert(first.end(), filler.begin(), filler.end());
    first.insert(first.end(), then.begin(), then.end());
    return first;
  };
  for (const Case& c : {
           Case{"an old success far back", with({Line("S", "r1", kStateStarted), Line("S", "r1", kStateFinished)}), true},
           Case{"an old line without run id", with({Line("S", "", kStateFinished)}), true},
           Case{"a later killed run", with({Line("S", "r1", kStateStarted), Line("S", "r1", kStateFinished)},
                                           {Line("S", "r2", kStateStarted)}),
                false},
           Case{"a later failure", with({Line("S", "r1", kStateStarted), Line("S", "r1", kStateFinished)},
                                        {Line("S", "r2", kStateStarted), Line("S", "r2", kStateFinished, 1)}),
                false},
           Case{"an overtaken run's result last",
                with({Line("S", "r1", kStateStarted), Line("S", "r2", kStateStarted)}, {Line("S", "r1", kStateFinished)}),
                false},
           Case{"never seen", filler, false},
       }) {
    for (const char* name : {"l.jsonl", "l.csv"}) {
      SCOPED_TRACE(std::string(c.name) + " " + name);
      const fs::path path = dir / name;
      Write(path, c.lines);
      std::string error, warning;
      const auto record = FileRecord::Open(path.string(), kImage, error, warning);
      ASSERT_TRUE(record) << error;
      EXPECT_EQ(record->UpdatedAt("S", true, true).has_value(), c.passedOver);
    }
  }
}

}  // namespace
}  // namespace orvik::record
