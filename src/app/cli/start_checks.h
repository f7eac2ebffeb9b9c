// What the command line checks before it creates or opens anything for
// writing: every path the options name. A start refused here leaves nothing
// behind (no empty record file beside a --log-dir that was refused).
#pragma once

#include <optional>

#include "app/cli/commands.h"

namespace orvik::cli {

// Checks the paths the options name (CheckStartPaths): the log folder is
// held from here on, in env.logFolder, the slot map read into env.slots. A
// refusal is said as every start-up failure is (standard
// error, the log, JSON) and its exit status returned; nothing when the
// start may go on.
std::optional<int> CheckStart(CommandEnvironment& env);

}  // namespace orvik::cli
