// The Linux rules behind ChooseLogPath, OpenProgramLog and
// SingleInstance::Acquire, with their paths passed in so that they can be
// tested anywhere.
#pragma once

#include <filesystem>
#include <memory>

#include "app/common/app_common.h"

class CLog;

namespace orvik::app {

// Whether the log may go into the executable's own folder: not a folder of
// the installed system (/usr and everything under it, /bin, /sbin), owned by
// the effective user, and writable by that user. The same for root: root's
// program in /usr/bin, or in another user's folder, logs to the state folder
// like anyone's.
bool FolderTakesTheLog(const std::filesystem::path& folder);

// Opens `log` at `beside` when its folder takes the log and the file there
// is accepted (a regular file of the user's own, see LogFile::OpenAlways).
// Otherwise opens it at `state` (empty: nowhere), creating the missing
// folders on the way with mode 0700; the file there must pass the same check.
// False when neither opened; nothing was then written anywhere.
bool OpenLogBesideOrInState(CLog& log, const std::filesystem::path& beside, const std::filesystem::path& state);

// The single-instance lock at `path`, taken for `role` (Alone: flock
// exclusive; Shared: flock shared): null when another process holds it in a
// way `role` may not run beside.
// The file is used only when it is a regular file of the effective user's
// own with a single link (created with mode 0600, brought back to 0600 when
// it allows others more); a symbolic link is not followed. When the file
// cannot be used or locked, the instance runs without it, as the only
// instance, and its Note() says why.
std::unique_ptr<SingleInstance> AcquireLockFile(const std::filesystem::path& path,
                                                InstanceRole role = InstanceRole::Alone);

}  // namespace orvik::app
