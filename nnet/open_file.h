// Internal: a file handle of the host utilities, closed on every way out.
#pragma once

#include "hostlib.h"

namespace nnet::detail {

class OpenFile {
public:
    explicit OpenFile(FIO::THandle handle)
        : handle_(handle)
    {
    }
    ~OpenFile()
    {
        if (!Failed())
            FIO::Close(handle_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool Failed() const { return handle_ == reinterpret_cast<FIO::THandle>(FIO::kFailedHandle); }
    FIO::THandle Get() const { return handle_; }

private:
    FIO::THandle handle_;
};

} // namespace nnet::detail
