// Text a device sends (a USB serial number, a product string) is device
// input: any bytes, not necessarily UTF-8, perhaps with characters that move
// a terminal's cursor, reorder a line or hide in it. One policy decides what
// of it is shown as it is and what as an escape, for every place it is
// written (a terminal and the log, a JSON field, a CSV cell), and one
// decoder (DecodeUtf8) reads it.
//
// Kept as it is: well-formed UTF-8 that shows as itself. Escaped:
//   - every byte that does not start a well-formed character (invalid or cut
//     off sequences, overlong forms, surrogates, values past U+10FFFF), the
//     C0 controls, DEL, and the backslash itself: "\xNN" per byte, two
//     lower-case hex digits;
//   - the characters that act on a line instead of showing: the C1 controls
//     (U+0080-U+009F), the bidirectional marks, embeddings, overrides and
//     isolates (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), the
//     zero-width and invisible characters (U+200B-U+200D, U+2060-U+2064,
//     U+FEFF), and the line and paragraph separators (U+2028, U+2029):
//     "\u{XXXX}", the code point in lower-case hex.
// Since the backslash is escaped too, every backslash in the output starts
// an escape, and the exact bytes can be read back (DeviceTextFromEscaped).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvik {

// True for a character the policy shows as an escape although it is
// well-formed.
bool IsDeviceTextHidden(char32_t code);

// The escaped text: printable, valid UTF-8, no backslash but those of
// escapes. For a terminal and the log.
std::string DeviceTextForTerminal(std::string_view bytes);
// For a JSON string value: the same text (the JSON writer then quotes it;
// it is valid UTF-8, so the writer never throws).
std::string DeviceTextForJson(std::string_view bytes);
// A whole CSV cell: the escaped text in double quotes (a quote doubled), with
// a "'" before a first character that a spreadsheet would take for the start
// of a formula (= + - @ and the "'" itself).
std::string DeviceTextForCsv(std::string_view bytes);

// The bytes escaped text stands for; nothing when it holds a backslash that
// starts no well-formed escape.
std::optional<std::string> DeviceTextFromEscaped(std::string_view escaped);
// The bytes a CSV cell stands for, given its content with the quotes taken
// off and doubled quotes made single.
std::optional<std::string> DeviceTextFromCsv(std::string_view content);

}  // namespace orvik
