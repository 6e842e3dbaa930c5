// The command line: picks the option, the stream file and the output file, runs the action.
#pragma once

namespace tessel {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the input could not be read whole, or an output failed
inline constexpr int kExitUsage = 2;   // "Invalid." or "Input argument error."

// Runs one command; returns the process exit status. Standard output is flushed on return.
int runCommand(int argc, const char* const* argv);

}  // namespace tessel
