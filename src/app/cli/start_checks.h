// What the command line checks before it creates or opens anything for
// writing: every path the options name. A start refused here leaves nothing
// behind (no empty record file beside a --log-dir that was refused).
#pragma once

#include <optional>

#include "app/cli/commands.h"

namespace orvik::cli {

// Checks the paths of --record, --log-dir, --slots and --teach, in that
// order, and stops at the first refused: a name that Windows keeps for a
// device (COM¹, NUL.csv), a --log-dir that may not take the units' logs
// (station::UnitLogFolder::Open's rules; it is held from here on, in
// env.logFolder), a --slots file that is refused (it is read here, into
// env.slots). A refusal is said as every start-up failure is (standard
// error, the log, JSON) and its exit status returned; nothing when the
// start may go on.
std::optional<int> CheckStart(CommandEnvironment& env);

}  // namespace orvik::cli
