// The intake layer's one way of failing: a one-line message that names the
// file, option or parameter at fault and says what to do, with the kind of
// fault, which the program turns into its exit status and Python into the
// exception type.
#pragma once

#include <stdexcept>
#include <string>

namespace tamrix::intake {

enum class Fault {
    Usage, // a bad option or parameter value
    Unreadable, // a missing file, or not a readable file of its kind
    Unsupported, // data that cannot be represented
    Mismatch, // inputs that do not fit together
    Failure, // anything else, e.g. an output that cannot be built
};

class Error : public std::runtime_error {
public:
    Error(Fault fault, const std::string& message)
        : std::runtime_error(message)
        , fault_(fault)
    {
    }
    Fault Kind() const { return fault_; }

private:
    Fault fault_;
};

} // namespace tamrix::intake
