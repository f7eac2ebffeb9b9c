// The table both database back ends keep, and its columns in one order.
#pragma once

namespace orvik::record {

// PRAGMA user_version of an SQLite record; a newer one is refused.
inline constexpr int kSchemaVersion = 1;

// The columns written per run, in the order the statements bind them.
inline constexpr char kColumns[] =
    "run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb, "
    "mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms";
inline constexpr int kColumnCount = 21;

}  // namespace orvik::record
