// The rule shared by every POSIX folder that takes a log (the program's own,
// a station's units'): only its owner may change what is in it.
#pragma once

namespace orvik {

// A directory in which only its owner can plant a file or a symbolic link:
// owned by root or by the effective user, and writable by no group or other
// user (a sticky bit does not help: others could still create names).
bool OnlyOwnerWrites(int folderFd);

}  // namespace orvik
