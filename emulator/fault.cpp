#include "emulator/fault.h"

#include <array>
#include <charconv>
#include <string>
#include <vector>

namespace orvik {

namespace {

struct KindName {
  FaultKind kind;
  const char* name;
};

constexpr std::array<KindName, 5> kKindNames{{
    {FaultKind::NoWrite, "nowrite"},
    {FaultKind::NoReply, "noreply"},
    {FaultKind::BadReply, "badreply"},
    {FaultKind::BadEcho, "badecho"},
    {FaultKind::Unplug, "unplug"},
}};

constexpr std::string_view kAbsentWord = "absent";
// Where a fault is expected a whole unit may stand: the message names every
// form a unit takes, so that a near miss ("Good") shows the right one.
constexpr std::string_view kFaultForms =
    "(expected a unit: good, absent, KIND@COMMAND or KIND@COMMAND#N, each optionally followed by "
    "/after=MS, /leave=MS, /pull=MS, /serial=TEXT or /port=TEXT)";

std::optional<FaultKind> KindFromName(std::string_view name) {
  for (const KindName& entry : kKindNames) {
    if (name == entry.name) {
      return entry.kind;
    }
  }
  return std::nullopt;
}

std::string Quoted(std::string_view text) {
  std::string out = "'";
  out += text;
  out += "'";
  return out;
}

std::string CommandList() {
  std::string list;
  for (std::size_t i = 0; i < kCommandTable.size(); ++i) {
    if (i > 0) {
      list += (i + 1 == kCommandTable.size()) ? " or " : ", ";
    }
    list += kCommandTable[i].name;
  }
  return list;
}

// Digits only, no sign, no blanks, at most `max`.
std::optional<std::uint32_t> ParseBoundedNumber(std::string_view text, std::uint32_t max) {
  if (text.empty()) {
    return std::nullopt;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The UNITs of a list, split at its commas.
std::vector<std::string_view> SplitList(std::string_view list) {
  std::vector<std::string_view> texts;
  for (;;) {
    const std::size_t comma = list.find(',');
    texts.push_back(list.substr(0, comma));
    if (comma == std::string_view::npos) return texts;
    list.remove_prefix(comma + 1);
  }
}

// A UNIT without its "*N", and N (1 without one).
struct RepeatedText {
  std::string_view text;
  std::size_t count = 1;
};

std::optional<RepeatedText> SplitRepeat(std::string_view text, std::string& error) {
  const std::size_t star = text.rfind('*');
  if (star == std::string_view::npos) return RepeatedText{text, 1};
  const std::string_view count = text.substr(star + 1);
  const std::optional<std::uint32_t> n = ParseBoundedNumber(count, kMaxEmulatedUnits);
  if (!n || *n == 0) {
    error = "bad repeat count " + Quoted(count) + " after '*' (expected a whole number from 1 to " +
            std::to_string(kMaxEmulatedUnits) + ")";
    return std::nullopt;
  }
  return RepeatedText{text.substr(0, star), *n};
}

// How many devices a list asks for, repeats counted; a malformed count counts once.
std::size_t CountUnits(const std::vector<std::string_view>& texts) {
  std::size_t total = 0;
  std::string ignored;
  for (const std::string_view text : texts) total += SplitRepeat(text, ignored).value_or(RepeatedText{}).count;
  return total;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const KindName& entry : kKindNames) {
    if (entry.kind == kind) {
      return entry.name;
    }
  }
  return "?";
}

std::string FaultText(const Fault& fault) {
  std::string text = FaultKindName(fault.kind);
  text += '@';
  text += InfoOf(fault.command).name;
  text += '#';
  text += std::to_string(fault.occurrence);
  return text;
}

std::optional<FaultSetting> ParseFaultSetting(std::string_view text, std::string& error) {
  error.clear();
  if (text == kAbsentWord) {
    return FaultSetting{.absent = true, .fault = std::nullopt};
  }
  if (text.empty()) {
    error = "empty fault ";
    error += kFaultForms;
    return std::nullopt;
  }
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) {
    error = "fault " + Quoted(text) + " has no '@' ";
    error += kFaultForms;
    return std::nullopt;
  }

  const std::string_view kindText = text.substr(0, at);
  const std::optional<FaultKind> kind = KindFromName(kindText);
  if (!kind) {
    error = "unknown fault kind " + Quoted(kindText) +
            " (expected nowrite, noreply, badreply, badecho (write commands only) or unplug)";
    return std::nullopt;
  }

  std::string_view commandText = text.substr(at + 1);
  std::uint32_t occurrence = 0;
  const std::size_t hash = commandText.find('#');
  if (hash != std::string_view::npos) {
    const std::string_view countText = commandText.substr(hash + 1);
    commandText = commandText.substr(0, hash);
    const std::optional<std::uint32_t> count = ParseBoundedNumber(countText, kMaxFaultOccurrence);
    if (!count) {
      error = "bad command count " + Quoted(countText) + " after '#' (expected a number from 0 to " +
              std::to_string(kMaxFaultOccurrence) + ")";
      return std::nullopt;
    }
    occurrence = *count;
  }

  const std::optional<UpdateCommand> command = CommandFromName(commandText);
  if (!command) {
    error = "unknown command " + Quoted(commandText) + " (expected " + CommandList() + ")";
    return std::nullopt;
  }
  if (*kind == FaultKind::BadEcho && !InfoOf(*command).echoesBlock) {
    error = "fault kind 'badecho' is only for the write commands, whose reply echoes a block (MCUWrite or "
            "USBWrite), not " +
            Quoted(commandText);
    return std::nullopt;
  }
  return FaultSetting{.absent = false, .fault = Fault{*kind, *command, occurrence}};
}

std::string DefaultEmulatedSerial(std::size_t index) {
  std::string digits = std::to_string(index + 1);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return "EMU-" + digits;
}

std::string DefaultEmulatedPort(std::size_t index) { return "emu-" + std::to_string(index + 1); }

std::optional<EmulatedUnit> ParseEmulatedUnit(std::string_view text, std::string& error) {
  error.clear();
  const std::size_t slash = text.find('/');
  const std::string_view behaviour = text.substr(0, slash);
  EmulatedUnit unit;
  if (behaviour != "good") {
    const std::optional<FaultSetting> setting = ParseFaultSetting(behaviour, error);
    if (!setting) return std::nullopt;
    unit.setting = *setting;
  }
  std::string_view rest = slash == std::string_view::npos ? std::string_view{} : text.substr(slash);
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the '/'
    const std::size_t next = rest.find('/');
    const std::string_view timing = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next);
    const std::size_t equals = timing.find('=');
    const std::string_view key = timing.substr(0, equals);
    if (key == "serial" && equals != std::string_view::npos) {
      if (unit.serial) {
        error = "'serial' given more than once";
        return std::nullopt;
      }
      const std::string_view serial = timing.substr(equals + 1);
      if (serial.size() > kMaxEmulatedSerialLength) {
        error = "serial " + Quoted(serial) + " is longer than " + std::to_string(kMaxEmulatedSerialLength) +
                " characters";
        return std::nullopt;
      }
      for (const char c : serial) {
        if (c < ' ' || c > '~') {
          error = "serial " + Quoted(serial) + " holds a character that is not printable ASCII";
          return std::nullopt;
        }
      }
      unit.serial = std::string(serial);
      continue;
    }
    if (key == "port" && equals != std::string_view::npos) {
      if (unit.port) {
        error = "'port' given more than once";
        return std::nullopt;
      }
      const std::string_view port = timing.substr(equals + 1);
      if (port.size() > kMaxEmulatedPortLength) {
        error = "port " + Quoted(port) + " is longer than " + std::to_string(kMaxEmulatedPortLength) + " characters";
        return std::nullopt;
      }
      for (const char c : port) {
        if (c <= ' ' || c > '~') {
          error = "port " + Quoted(port) + " holds a character that is not printable ASCII or is a blank";
          return std::nullopt;
        }
      }
      unit.port = std::string(port);
      continue;
    }
    std::optional<std::uint32_t>* target = key == "after"   ? &unit.afterMs
                                           : key == "leave" ? &unit.leaveMs
                                           : key == "pull"  ? &unit.pullMs
                                                            : nullptr;
    if (target == nullptr || equals == std::string_view::npos) {
      error = "unknown unit option " + Quoted(timing) + " (expected after=MS, leave=MS, pull=MS, serial=TEXT or port=TEXT)";
      return std::nullopt;
    }
    if (target->has_value()) {
      error = "timing " + Quoted(key) + " given more than once";
      return std::nullopt;
    }
    const std::string_view value = timing.substr(equals + 1);
    const std::optional<std::uint32_t> ms = ParseBoundedNumber(value, kMaxEmulatedDelayMs);
    if (!ms) {
      error = "bad time " + Quoted(value) + " in " + Quoted(timing) + " (expected milliseconds from 0 to " +
              std::to_string(kMaxEmulatedDelayMs) + ")";
      return std::nullopt;
    }
    *target = *ms;
  }
  return unit;
}

EmulateOption ParseEmulateOption(std::span<const std::string> args) {
  EmulateOption option;
  for (const std::string& arg : args) {
    const std::string_view view = arg;
    const bool plain = view == kEmulateSwitch;
    const bool withFault = view.size() > kEmulateSwitch.size() && view.starts_with(kEmulateSwitch) &&
                           view[kEmulateSwitch.size()] == ':';
    if (!plain && !withFault) {
      continue;
    }
    if (option.emulate) {
      if (option.error.empty()) {
        option.error = arg + ": " + std::string(kEmulateSwitch) + " given more than once";
      }
      continue;
    }
    option.emulate = true;
    if (plain) {
      option.units.push_back(EmulatedUnit{});
      continue;
    }
    const std::vector<std::string_view> texts = SplitList(view.substr(kEmulateSwitch.size() + 1));
    std::vector<EmulatedUnit> units;
    std::string message;
    for (const std::string_view text : texts) {
      const std::optional<RepeatedText> repeated = SplitRepeat(text, message);
      if (!repeated) break;
      const std::optional<EmulatedUnit> unit = ParseEmulatedUnit(repeated->text, message);
      if (!unit) break;
      if (units.size() + repeated->count > kMaxEmulatedUnits) {
        message = std::to_string(CountUnits(texts)) + " emulated devices, more than " +
                  std::to_string(kMaxEmulatedUnits);
        break;
      }
      units.insert(units.end(), repeated->count, *unit);
    }
    if (message.empty()) {
      option.units = std::move(units);
      option.setting = option.units.front().setting;
    } else {
      option.error = arg + ": " + message;
    }
  }
  return option;
}

}  // namespace orvik
