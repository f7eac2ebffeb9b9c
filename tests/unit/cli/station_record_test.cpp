// The station record: its lines in JSON and CSV, reading them back, and what
// they say about units already updated.
#include "app/cli/station_record.h"

#include <gtest/gtest.h>

#include "app/cli/cli.h"
#include "app/cli/commands.h"
#include "emulator/emulated_device_set.h"
#include <algorithm>
#include <fstream>
#include <sstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

const RecordImage kImage{"Y1-3", "Y1-1", "0x02ae", "0x63ed"};

RecordLine Line(std::string serial, int status, bool mcu = true, bool usb = true, std::string mcuChecksum = "0x02ae",
                std::string usbChecksum = "0x63ed", std::string time = "2026-12-08T09:41:05+01:00") {
  RecordLine line;
  line.time = std::move(time);
  line.host = "line-3";
  line.programVersion = "2.0.0.6";
  line.path = "/dev/hidraw3";
  line.serial = std::move(serial);
  line.mcu = mcu;
  line.usb = usb;
  line.mcuVersion = "Y1-3";
  line.usbVersion = "Y1-1";
  line.mcuChecksum = std::move(mcuChecksum);
  line.usbChecksum = std::move(usbChecksum);
  line.status = status;
  line.failure = status == 0 ? 0 : 772;
  line.message = status == 0 ? "Update complete" : "Check write mcu code reply fail(772)";
  line.durationMs = 5021;
  return line;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StationRecord, TheImageIsDescribedAsTheLogShowsIt) {
  const RecordImage image = DescribeImage(TableResources(EmbeddedResourceTable()));
  EXPECT_EQ(image.mcuVersion, "Y1-3");
  EXPECT_EQ(image.usbVersion, "Y1-1");
  const FirmwareImage& shipped = test::ShippedImage();
  char mcu[8], usb[8];
  std::snprintf(mcu, sizeof mcu, "0x%02x%02x", shipped[kMcuTrailerOffset + 14], shipped[kMcuTrailerOffset + 15]);
  std::snprintf(usb, sizeof usb, "0x%02x%02x", shipped[kUsbTrailerOffset + 14], shipped[kUsbTrailerOffset + 15]);
  EXPECT_EQ(image.mcuChecksum, mcu);
  EXPECT_EQ(image.usbChecksum, usb);
}

TEST(StationRecord, CsvCellsAreQuotedNeutralisedAndReadBackExactly) {
  struct Case {
    std::string text;
    std::string cell;
  };
  for (const Case& c : {
           Case{"SN0042", "\"SN0042\""},
           Case{"", "\"\""},
           Case{"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
           Case{"+1", "\"'+1\""},
           Case{"-1", "\"'-1\""},
           Case{"@SUM(A1)", "\"'@SUM(A1)\""},
           Case{"'=1", "\"''=1\""},  // a leading quote of its own stays readable
           Case{"a,b", "\"a,b\""},
           Case{"x=1", "\"x=1\""},
           Case{"\ttab", "\"\\x09tab\""},  // control bytes never split or start a cell
           Case{"two\nlines\r", "\"two\\x0Alines\\x0D\""},
           Case{"SN\xff\xc3(\xed\xa0\x80\xc0\xaf", "\"SN\\xFF\\xC3(\\xED\\xA0\\x80\\xC0\\xAF\""},  // not UTF-8
           Case{"\xc3\xa9t\xc3\xa9 \xf0\x9f\x94\xa7", "\"\xc3\xa9t\xc3\xa9 \xf0\x9f\x94\xa7\""},  // UTF-8 stays
           Case{"\\\\?\\hid#vid_1209", "\"\\\\?\\hid#vid_1209\""},  // a Windows path stays
           Case{"a\\x41", "\"a\\x5Cx41\""},  // looks like an escape: is escaped
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CsvCell(c.text), c.cell);
    // A serial written so is found again when the record is read back.
    if (c.text.empty()) continue;
    const RecordContents back =
        ReadRecord(CsvHeader() + FormatRecordLine(RecordFormat::Csv, Line(c.text, 0)), RecordFormat::Csv);
    EXPECT_EQ(back.badLines, 0u);
    EXPECT_TRUE(back.index.UpdatedAt(c.text, kImage, true, true));
  }
}

TEST(StationRecord, JsonLinesAreValidUtf8AndKeepTheDevicesBytes) {
  RecordLine line = Line(std::string("SN\xff\xfe\x01" "\xc3", 6), 0);
  line.message = "Update complete";
  std::string text;
  ASSERT_NO_THROW(text = FormatRecordLine(RecordFormat::JsonLines, line));
  ASSERT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line
  const nlohmann::json parsed = nlohmann::json::parse(text);  // throws on invalid UTF-8
  // Escaped as the CSV record escapes them, never collapsed into U+FFFD.
  EXPECT_EQ(parsed["serial"].get<std::string>(), "SN\\xFF\\xFE\x01\\xC3");
  EXPECT_EQ(record::ParseJsonLine(text)->serial, line.serial);
  std::vector<std::string> keys;
  const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(text);
  for (const auto& [key, value] : ordered.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"time", "host", "program_version", "path", "serial", "mcu", "usb",
                                             "mcu_version", "usb_version", "mcu_checksum", "usb_checksum", "status",
                                             "failure", "message", "duration_ms", "station", "operator", "port",
                                             "slot", "run_id", "state", "time_utc"}));
  EXPECT_EQ(parsed["duration_ms"], 5021);
  EXPECT_EQ(parsed["mcu"], true);
}

TEST(StationRecord, LinesReadBackInBothFormatsAndBadLinesAreCountedNotFatal) {
  for (const RecordFormat format : {RecordFormat::JsonLines, RecordFormat::Csv}) {
    SCOPED_TRACE(format == RecordFormat::Csv ? "csv" : "json");
    std::string text = format == RecordFormat::Csv ? CsvHeader() : "";
    text += FormatRecordLine(format, Line("=A1", 0));
    text += "not a line at all\n";
    text += FormatRecordLine(format, Line("SN2", 1)).substr(0, 40) + "\n";  // cut short by a full disk
    text += "\n";
    text += FormatRecordLine(format, Line("SN3", 0, true, true, "0x02ae", "0x63ed", "2026-12-08T10:00:00+01:00"));
    const RecordContents contents = ReadRecord(text, format);
    EXPECT_EQ(contents.lines, 2u);
    EXPECT_EQ(contents.badLines, 2u);
    EXPECT_EQ(contents.firstBadLine, format == RecordFormat::Csv ? 3u : 2u);
    EXPECT_EQ(contents.index.UpdatedAt("=A1", kImage, true, true), "2026-12-08T09:41:05+01:00");
    EXPECT_EQ(contents.index.UpdatedAt("SN3", kImage, true, true), "2026-12-08T10:00:00+01:00");
    EXPECT_FALSE(contents.index.UpdatedAt("SN2", kImage, true, true));
  }
  // A CSV whose header lacks a field: none of its lines count.
  const RecordContents noHeader = ReadRecord("time,serial\n\"x\",\"SN1\"\n", RecordFormat::Csv);
  EXPECT_EQ(noHeader.lines, 0u);
  EXPECT_EQ(noHeader.badLines, 2u);
}

// Lines with the port and slot count in both formats, and so does a line
// written before they were added (its 15 fields only).
TEST(StationRecord, LinesWithPortAndSlotAndOlderLinesWithoutThemCount) {
  RecordLine line = Line("SN1", 0);
  line.port = "1-1.4.2";
  line.slot = "A2";
  const std::string oldJson =
      R"({"time":"2026-12-08T09:41:05+01:00","host":"h","program_version":"2.0.0.6","path":"/dev/hidraw3",)"
      R"("serial":"SN0","mcu":true,"usb":true,"mcu_version":"Y1-3","usb_version":"Y1-1","mcu_checksum":"0x02ae",)"
      R"("usb_checksum":"0x63ed","status":0,"failure":0,"message":"Update complete","duration_ms":5021})"
      "\n";
  const std::string oldCsv =
      "time,host,program_version,path,serial,mcu,usb,mcu_version,usb_version,mcu_checksum,usb_checksum,status,"
      "failure,message,duration_ms\n"
      R"("2026-12-08T09:41:05+01:00","h","2.0.0.6","/dev/hidraw3","SN0",true,true,"Y1-3","Y1-1","0x02ae","0x63ed",0,0,"Update complete",5021)"
      "\n";
  for (const RecordFormat format : {RecordFormat::JsonLines, RecordFormat::Csv}) {
    SCOPED_TRACE(format == RecordFormat::Csv ? "csv" : "json");
    const std::string text = (format == RecordFormat::Csv ? CsvHeader() : "") + FormatRecordLine(format, line);
    EXPECT_NE(text.find("1-1.4.2"), std::string::npos);
    const RecordContents now = ReadRecord(text, format);
    EXPECT_EQ(now.lines, 1u);
    EXPECT_EQ(now.badLines, 0u);
    const RecordContents old = ReadRecord(format == RecordFormat::Csv ? oldCsv : oldJson, format);
    EXPECT_EQ(old.lines, 1u);
    EXPECT_EQ(old.badLines, 0u);
  }
}

// Lines as this program writes them, and as another tool or a hand may have
// written or edited them: what is JSON with the right fields counts.
TEST(StationRecord, AJsonLineCountsWhenItHoldsEveryFieldWithItsType) {
  const std::string own = FormatRecordLine(RecordFormat::JsonLines, Line("SN1", 0));
  const auto edited = [&](const std::string& from, const std::string& to) {
    std::string text = own;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  struct Case {
    std::string line;
    std::string serial;  // empty: the line does not count
  };
  for (const Case& c : {
           Case{own, "SN1"},
           Case{edited("\"serial\":\"SN1\"", "\"serial\":\"S\\u004e1\""), "SN1"},  // an escape
           Case{edited("\"SN1\"", "\"SN\u00e91\""), "SN\u00e91"},  // UTF-8
           Case{edited(",\"status\":", " ,\t \"status\" : "), "SN1"},
           Case{edited("{", "{\"station\":{\"bay\":[1,2.5]},"), "SN1"},  // a field of another tool
           Case{edited("\"status\":0", "\"status\":1,\"status\":0"), "SN1"},  // the last one counts
           Case{edited(",\"failure\":0", ""), ""},
           Case{edited("\"status\":0", "\"status\":\"0\""), ""},
           Case{edited("\"status\":0", "\"status\":0.0"), ""},
           Case{edited("\"status\":0", "\"status\":00"), ""},
           Case{edited("\"status\":0", "\"status\":99999999999"), ""},
           Case{edited("\"mcu\":true", "\"mcu\":1"), ""},
           Case{edited("\"serial\":\"SN1\"", "\"serial\":null"), ""},
           Case{edited("}\n", "}x\n"), ""},
           Case{edited("}\n", "\n"), ""},
           Case{"{}\n", ""},
           Case{"[" + own.substr(0, own.size() - 1) + "]\n", ""},
       }) {
    SCOPED_TRACE(c.line);
    const RecordContents contents = ReadRecord(c.line, RecordFormat::JsonLines);
    EXPECT_EQ(contents.lines, c.serial.empty() ? 0u : 1u);
    EXPECT_EQ(contents.badLines, c.serial.empty() ? 1u : 0u);
    if (!c.serial.empty()) {
      EXPECT_TRUE(contents.index.UpdatedAt(c.serial, kImage, true, true));
    }
  }
}

TEST(StationRecord, TheLastLinesOfASerialDecideWhetherItIsUpdated) {
  struct Case {
    const char* name;
    std::vector<RecordLine> lines;
    bool mcu, usb;  // this run's controllers
    bool updated;
  };
  const RecordLine mcuOnly = Line("SN1", 0, true, false);
  const RecordLine usbOnly = Line("SN1", 0, false, true);
  for (const Case& c : {
           Case{"a success", {Line("SN1", 0)}, true, true, true},
           Case{"a failure", {Line("SN1", 1)}, true, true, false},
           Case{"a failure after a success", {Line("SN1", 0), Line("SN1", 1)}, true, true, false},
           Case{"a success after a failure", {Line("SN1", 1), Line("SN1", 0)}, true, true, true},
           Case{"another serial", {Line("SN2", 0)}, true, true, false},
           Case{"another MCU image", {Line("SN1", 0, true, true, "0x1111")}, true, true, false},
           Case{"another USB image", {Line("SN1", 0, true, true, "0x02ae", "0x2222")}, true, true, false},
           Case{"another image, then this one", {Line("SN1", 0, true, true, "0x1111"), Line("SN1", 0)}, true, true,
                true},
           Case{"this image, then another", {Line("SN1", 0), Line("SN1", 0, true, true, "0x1111")}, true, true,
                false},
           Case{"only the MCU, both asked", {mcuOnly}, true, true, false},
           Case{"only the MCU, the MCU asked", {mcuOnly}, true, false, true},
           // Only the latest run counts, with the same controllers.
           Case{"the MCU, then the USB controller", {mcuOnly, usbOnly}, true, true, false},
           Case{"a failed USB run after both", {Line("SN1", 0), Line("SN1", 1, false, true)}, true, false, false},
           Case{"a failed USB run after both, USB asked", {Line("SN1", 0), Line("SN1", 1, false, true)}, false, true,
                false},
           Case{"nothing asked", {Line("SN1", 0)}, false, false, false},
       }) {
    SCOPED_TRACE(c.name);
    RecordIndex index;
    for (const RecordLine& line : c.lines) index.Add(line);
    EXPECT_EQ(index.UpdatedAt("SN1", kImage, c.mcu, c.usb).has_value(), c.updated);
  }
  // A unit without a serial is never taken for another.
  RecordIndex index;
  index.Add(Line("", 0));
  EXPECT_FALSE(index.UpdatedAt("", kImage, true, true));
  EXPECT_EQ(index.Serials(), 0u);
}

TEST(StationRecord, OpeningAppendsAfterWhatIsThereAndWritesTheCsvHeaderOnce) {
  test::TempDir dir;
  struct Case {
    const char* name;
    std::string before;
    std::string prefix;  // what goes before the first new line
    const char* warning;
  };
  const std::string header = CsvHeader();
  const std::string good = FormatRecordLine(RecordFormat::Csv, Line("SN1", 0));
  for (const Case& c : {
           Case{"new.csv", "", header, ""},
           Case{"empty.csv", "\n", header, ""},
           Case{"kept.csv", header + good, "", ""},
           Case{"torn.csv", header + good.substr(0, 30), "\n", "torn.csv: its last line is cut short (a write that failed); it is ended before the next line"},
       }) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path path = dir / c.name;
    if (std::string(c.name) != "new.csv") test::WriteBytes(path, {c.before.begin(), c.before.end()});
    std::string error, warning;
    const auto record = FileRecord::Open(path.string(), kImage, error, warning);
    ASSERT_TRUE(record) << error;
    EXPECT_EQ(warning.empty() ? "" : warning.substr(warning.find(c.name)), c.warning);
    RecordLine line = record->NewLine(0);
    line.serial = "SN9";
    line.mcu = line.usb = true;
    ASSERT_TRUE(record->Append(line, error)) << error;
    EXPECT_EQ(ReadText(path), c.before + c.prefix + FormatRecordLine(RecordFormat::Csv, line));
    // What it appended counts at once, and a second line needs no prefix.
    EXPECT_TRUE(record->UpdatedAt("SN9", true, true));
    ASSERT_TRUE(record->Append(line, error));
    EXPECT_EQ(ReadText(path), c.before + c.prefix + FormatRecordLine(RecordFormat::Csv, line) +
                                  FormatRecordLine(RecordFormat::Csv, line));
  }
}

TEST(StationRecord, ARecordThatCannotBeOpenedSaysWhy) {
  test::TempDir dir;
  for (const std::filesystem::path& path : {dir.path(), dir / "missing" / "units.jsonl"}) {
    SCOPED_TRACE(path.string());
    std::string error, warning;
    EXPECT_FALSE(FileRecord::Open(path.string(), kImage, error, warning));
    EXPECT_FALSE(error.empty());
  }
}

// Whatever bytes a unit gives as its serial, the CSV record stays valid UTF-8
// on one line per unit, and the unit is known again when it comes back.
TEST(StationRecord, AHostileSerialIsWrittenSafelyAndKnownAgain) {
  using namespace std::chrono_literals;
  const std::string hostile = "=\x1b[2J\xff" "A\\x41\n\xc3\xa9\xe2\x82";
  test::ScopedLog log;
  test::TempDir dir;
  const std::string path = (dir / "units.csv").string();
  const TableResources resources{EmbeddedResourceTable()};
  const auto run = [&](std::size_t& sent) {
    const std::vector<std::string> arguments{"orvik-updater-cli", "-Emulate", "--no-mcu", "--skip-updated", "--record",
                                             path};
    EmulatedDeviceSet set(ParseEmulateOption(arguments).units, 200ms);
    set.SetUnitSerial(0, hostile);
    std::ostringstream out, err;
    CommandEnvironment env = TestEnvironment(set, resources, arguments, out, err, nullptr, 20ms);
    const int status = RunCommand(env);
    sent = set.Unit(0).RecordSize();
    return status;
  };
  std::size_t sent = 0;
  EXPECT_EQ(run(sent), kExitCompleted);
  EXPECT_GT(sent, 0u);
  const std::string text = ReadText(path);
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;  // the header, started, finished
  EXPECT_NE(text.find(",\"'=\\x1B[2J\\xFFA\\x5Cx41\\x0A\xc3\xa9\\xE2\\x82\","), std::string::npos) << text;

  EXPECT_EQ(run(sent), kExitCompleted);
  EXPECT_EQ(sent, 0u);  // already updated: nothing sent
  EXPECT_EQ(ReadText(path), text);
}

TEST(ParseOptions, RecordTakesAFileAndAgainNeedsIt) {
  struct Case {
    std::vector<std::string> arguments;
    std::string record;
    bool again;
    std::string error;
  };
  for (const Case& c : {
           Case{{"--record", "units.csv"}, "units.csv", false, ""},
           Case{{"--station", "--record=a b.jsonl", "--again"}, "a b.jsonl", true, ""},
           Case{{"--record=--again"}, "--again", false, ""},
           Case{{"--record"}, "", false, "--record needs a FILE"},
           Case{{"--record="}, "", false, "--record needs a FILE"},
           Case{{"--again"}, "", true, "--again updates units that the record shows as updated; it needs --record"},
           Case{{"--list", "--record", "x"}, "x", false,
                "--list updates nothing to record; it cannot be combined with --record"},
       }) {
    std::vector<std::string> arguments{"orvik-updater-cli"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const Options options = ParseOptions(arguments);
    SCOPED_TRACE(arguments.back());
    EXPECT_EQ(options.error, c.error);
    if (c.error.empty()) {
      EXPECT_EQ(options.record, c.record);
      EXPECT_EQ(options.again, c.again);
    }
  }
}

}  // namespace
}  // namespace orvik::cli
