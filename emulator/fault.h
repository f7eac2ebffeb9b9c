// Faults the emulated device can be told to show, and their text form as the
// front ends take it from the command line: "-Emulate", "-Emulate:FAULT", or
// several emulated devices with their timing, "-Emulate:UNIT,UNIT,...".
//
//   FAULT  =  absent                 OpenDevice fails: no device is present
//          |  KIND@COMMAND           misbehave at the first COMMAND of a run
//          |  KIND@COMMAND#N         misbehave at the COMMAND numbered N (from 0)
//
//   KIND     nowrite   the command's write never completes: WaitWriteDone
//                      returns false after the wait bound; the device does not
//                      act on the command
//            noreply   the write completes and the device acts on the command,
//                      but its reply is lost: WaitReadDone returns false after
//                      the wait bound
//            badreply  the reply carries the wrong operation byte (the reply
//                      code of the next command in C0..C3 order)
//            badecho   the device receives one data byte of the block altered
//                      (byte 17 of the report), programs it and echoes it; only
//                      for MCUWrite and USBWrite, rejected at parse time for
//                      the other commands, whose replies carry no echo
//            unplug    the device disappears as the command is written: that
//                      write and every later transfer fail at once, and
//                      OpenDevice fails until the device is plugged in again
//   COMMAND  StartUpdate, MCUErase, MCUWrite, MCUEnd, USBErase, USBWrite, USBEnd
//   N        decimal, 0 to kMaxFaultOccurrence
//
// Several devices, listed and searched in the order given (at most
// kMaxEmulatedUnits in all, repeats counted):
//
//   UNIT      =  BEHAVIOUR [/after=MS] [/leave=MS] [/pull=MS] [/serial=TEXT] [/port=TEXT] [*N]
//   BEHAVIOUR =  good | FAULT
//
//   good        a device that updates without fault
//   /after=MS   the device is plugged in MS milliseconds after the unit before
//               it has left (the first unit: after the program starts);
//               without it the device is present from the start
//   /leave=MS   the device is unplugged once MS milliseconds have passed
//               since it was last opened or sent a report, that is, after
//               its update; without it the device stays
//   /pull=MS    the device is unplugged MS milliseconds after it arrived,
//               whether it was used or not (a person pulling out a unit the
//               station passed over); with /leave, whichever comes first
//   /serial=TEXT the device's USB serial number: printable ASCII (blank to
//               '~'), at most kMaxEmulatedSerialLength characters, ended by
//               the next '/' or ','; empty: the device has none. Without it
//               the units are EMU-0001, EMU-0002, ... in list order
//   /port=TEXT  the USB port the device is plugged into: printable ASCII
//               without blanks ('!' to '~', so that a slot file can name
//               it), at most kMaxEmulatedPortLength characters, ended by the
//               next '/' or ','; empty: the device has no port (as one that
//               is not on USB). Without it the units are on emu-1, emu-2,
//               ... in list order
//   MS          decimal, 0 to kMaxEmulatedDelayMs
//   *N          the unit N times over (1 to kMaxEmulatedUnits), as if it were
//               written out N times: "good*15,badreply@USBWrite" is sixteen
//               devices, the last one faulty. The last '*' of a UNIT starts
//               its count, so a serial holding a '*' needs an explicit "*1".
//               Each copy is a device of its own with its own default serial
//               and its own place in the schedule
//
// "-Emulate" is one good unit, "-Emulate:FAULT" one unit with that fault.
// Emulated devices are named "emulated:1", "emulated:2", ... in list order.
//
// "Within a run": the device counts each command as it is written, and the
// counts start again from zero when a fault is set and whenever
// DiscardQueuedInput() is called, which the updater does at the start of every
// run. So MCUWrite#512 is the first block of the MCU's second section in every
// run, and a fault shows again each time the update is retried (except unplug,
// after which the device stays gone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/protocol.h"

namespace orvik {

enum class FaultKind { NoWrite, NoReply, BadReply, BadEcho, Unplug };

// More than any command occurs in one run (the longest, MCUWrite, at most
// 0xE000 / 16 = 3,584 times).
inline constexpr std::uint32_t kMaxFaultOccurrence = 65535;

// The report byte a badecho fault alters (a data byte of the block).
inline constexpr std::size_t kBadEchoByte = 17;

struct Fault {
  FaultKind kind = FaultKind::NoWrite;
  UpdateCommand command = UpdateCommand::StartUpdate;
  std::uint32_t occurrence = 0;  // zero-based count of `command` within the run

  friend bool operator==(const Fault&, const Fault&) = default;
};

// What the device is told to do: be absent, or show one fault, or neither.
struct FaultSetting {
  bool absent = false;
  std::optional<Fault> fault;

  friend bool operator==(const FaultSetting&, const FaultSetting&) = default;
};

// "nowrite", "noreply", ...
const char* FaultKindName(FaultKind kind);

// The text form of a fault, always with its count: "badecho@MCUWrite#512".
std::string FaultText(const Fault& fault);

// Parses FAULT (the text after "-Emulate:"). On error returns nothing and puts
// into `error` a message naming what is wrong, e.g. "unknown fault kind 'foo'
// (expected nowrite, noreply, badreply, badecho or unplug)". Case-sensitive;
// blanks are not skipped.
std::optional<FaultSetting> ParseFaultSetting(std::string_view text, std::string& error);

inline constexpr std::size_t kMaxEmulatedUnits = 64;
inline constexpr std::uint32_t kMaxEmulatedDelayMs = 3'600'000;  // one hour
inline constexpr std::size_t kMaxEmulatedSerialLength = 64;
inline constexpr std::size_t kMaxEmulatedPortLength = 64;

// One emulated device of "-Emulate:UNIT,...".
struct EmulatedUnit {
  FaultSetting setting;
  std::optional<std::uint32_t> afterMs;  // arrival after the previous unit has left
  std::optional<std::uint32_t> leaveMs;  // departure once idle this long
  std::optional<std::uint32_t> pullMs;   // departure this long after arrival
  std::optional<std::string> serial;     // "/serial=TEXT"; nothing: the default
  std::optional<std::string> port;       // "/port=TEXT"; nothing: the default

  friend bool operator==(const EmulatedUnit&, const EmulatedUnit&) = default;
};

// The serial number of the unit at `index` (from 0) without "/serial=":
// "EMU-0001" for index 0.
std::string DefaultEmulatedSerial(std::size_t index);

// The port of the unit at `index` (from 0) without "/port=": "emu-1" for
// index 0.
std::string DefaultEmulatedPort(std::size_t index);

// Parses one UNIT. On error returns nothing and names what is wrong in
// `error`.
std::optional<EmulatedUnit> ParseEmulatedUnit(std::string_view text, std::string& error);

// The emulation switch found among a program's arguments.
struct EmulateOption {
  bool emulate = false;  // "-Emulate" or "-Emulate:..." was given
  FaultSetting setting;  // the first unit's (nothing for plain "-Emulate")
  std::vector<EmulatedUnit> units;  // at least one when emulate and no error
  std::string error;     // not empty when the switch was malformed: the message
};

inline constexpr std::string_view kEmulateSwitch = "-Emulate";

// Looks through `args` (the program name may be among them) for "-Emulate" or
// "-Emulate:FAULT", each compared as a whole argument and case-sensitively;
// other arguments are ignored. A malformed FAULT, or the switch given more than
// once, sets `error` (prefixed with the argument at fault); `emulate` is then
// still true when the switch was present.
EmulateOption ParseEmulateOption(std::span<const std::string> args);

}  // namespace orvik
