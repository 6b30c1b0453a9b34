// The command-line program's one way of failing: a one-line message that names
// the file or option at fault, and the exit status that tells scripts why.
#pragma once

#include "intake/error.h"

#include <stdexcept>
#include <string>

namespace tamrix::cli {

// Exit statuses; the README lists them for scripts.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1, // anything else: an output that cannot be written, ...
    kExitUsage = 2, // bad or missing arguments
    kExitUnreadable = 3, // an input that is missing or not a readable file of its kind
    kExitUnsupported = 4, // a FITS image the library cannot represent
    kExitMismatch = 5, // inputs that do not fit together (sizes, depths)
    kExitSignal = 128, // plus the signal: 130 after Ctrl-C (SIGINT), 143 after SIGTERM
};

// A Failure with an empty message ends the program with its status and no
// further line: the command has already reported what failed.
class Failure : public std::runtime_error {
public:
    Failure(int status, const std::string& message)
        : std::runtime_error(message)
        , status_(status)
    {
    }
    int Status() const { return status_; }

private:
    int status_;
};

// The exit status of a failure of the intake layer.
inline int StatusOf(intake::Fault fault)
{
    switch (fault) {
    case intake::Fault::Usage:
        return kExitUsage;
    case intake::Fault::Unreadable:
        return kExitUnreadable;
    case intake::Fault::Unsupported:
        return kExitUnsupported;
    case intake::Fault::Mismatch:
        return kExitMismatch;
    default:
        return kExitFailure;
    }
}

// "FILE: problem", the form every file-related message takes.
inline Failure FileFailure(int status, const std::string& path, const std::string& problem)
{
    return Failure(status, path + ": " + problem);
}

} // namespace tamrix::cli
