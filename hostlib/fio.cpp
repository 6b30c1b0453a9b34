// File access on the operating system's own file API: a handle is a Windows
// HANDLE, or a POSIX file descriptor carried in the pointer.
#include "hostlib.h"

#include <climits>
#include <string>

#if defined(_WIN32)
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <cerrno>
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace FIO {
namespace {

THandle Failed()
{
    return reinterpret_cast<THandle>(kFailedHandle);
}

// The name cut to its bound and zero-terminated, as the system calls want it.
// An empty name fails like a missing file.
bool NameOf(int bound, const char* name, std::string& out)
{
    const int length = Str::LengthA(bound, name);
    if (length < 1)
        return false;
    out.assign(name, static_cast<size_t>(length));
    return true;
}

#if defined(_WIN32)

HANDLE Native(THandle file)
{
    return static_cast<HANDLE>(file);
}

THandle Open(int bound, const char* name, DWORD access, DWORD share, DWORD disposition)
{
    std::string path;
    if (!NameOf(bound, name, path))
        return Failed();
    HANDLE h = ::CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? Failed() : static_cast<THandle>(h);
}

#else

int Native(THandle file)
{
    const auto fd = reinterpret_cast<intptr_t>(file);
    return fd >= 0 && fd <= INT_MAX ? static_cast<int>(fd) : -1;
}

THandle Open(int bound, const char* name, int flags)
{
    std::string path;
    if (!NameOf(bound, name, path))
        return Failed();
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? Failed() : reinterpret_cast<THandle>(static_cast<intptr_t>(fd));
}

#endif

// Bytes RdBin may read: count, but never past the buffer's bound.
int ReadLimit(int bound, const void* buffer, int count)
{
    if (buffer == nullptr || bound < 0 || count < 0)
        return 0;
    return count <= bound ? count : bound + 1;
}

} // namespace

#if defined(_WIN32)

THandle OpenReadA(int nameBound, const char* name, int shareRead)
{
    return Open(nameBound, name, GENERIC_READ, shareRead ? FILE_SHARE_READ : 0, OPEN_EXISTING);
}

THandle CreateA(int nameBound, const char* name, int failIfExists)
{
    return Open(nameBound, name, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS);
}

int64_t Size(THandle file)
{
    LARGE_INTEGER size;
    return ::GetFileSizeEx(Native(file), &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

int RdBin(THandle file, int bound, void* buffer, int count)
{
    const int limit = ReadLimit(bound, buffer, count);
    int done = 0;
    while (done < limit) {
        DWORD got = 0;
        if (!::ReadFile(
                Native(file), static_cast<char*>(buffer) + done, static_cast<DWORD>(limit - done), &got, nullptr)
            || got == 0)
            break;
        done += static_cast<int>(got);
    }
    return done;
}

bool WrStrA(THandle file, int bound, const char* text)
{
    const int length = Str::LengthA(bound, text);
    int done = 0;
    while (done < length) {
        DWORD put = 0;
        if (!::WriteFile(Native(file), text + done, static_cast<DWORD>(length - done), &put, nullptr) || put == 0)
            return false;
        done += static_cast<int>(put);
    }
    return true;
}

void Close(THandle file)
{
    if (file != Failed())
        ::CloseHandle(Native(file));
}

#else

THandle OpenReadA(int nameBound, const char* name, int /*shareRead*/)
{
    return Open(nameBound, name, O_RDONLY);
}

THandle CreateA(int nameBound, const char* name, int failIfExists)
{
    return Open(nameBound, name, O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : O_TRUNC));
}

int64_t Size(THandle file)
{
    struct stat info;
    return ::fstat(Native(file), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

int RdBin(THandle file, int bound, void* buffer, int count)
{
    const int limit = ReadLimit(bound, buffer, count);
    int done = 0;
    while (done < limit) {
        const ssize_t got = ::read(Native(file), static_cast<char*>(buffer) + done, static_cast<size_t>(limit - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<int>(got);
    }
    return done;
}

bool WrStrA(THandle file, int bound, const char* text)
{
    const int length = Str::LengthA(bound, text);
    int done = 0;
    while (done < length) {
        const ssize_t put = ::write(Native(file), text + done, static_cast<size_t>(length - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<int>(put);
    }
    return true;
}

void Close(THandle file)
{
    if (file != Failed())
        ::close(Native(file));
}

#endif

} // namespace FIO
