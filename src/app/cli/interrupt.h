// The command line's name for the requests from outside to end the program;
// they are handled in the shared app layer (app/common/interrupt.h), where
// the update's hold switches them.
#pragma once

#include "app/common/interrupt.h"

namespace orvik::cli {

using app::ClearPendingInterrupt;
using app::CurrentInterruptPolicy;
using app::HeldStopRequest;
using app::InstallInterruptHandlers;
using app::InterruptExitStatus;
using app::InterruptPolicy;
using app::kLongestInterruptWait;
using app::PendingInterrupt;
using app::ScopedInterruptPolicy;
using app::SetInterruptPolicy;
using app::WaitForInterrupt;

}  // namespace orvik::cli
