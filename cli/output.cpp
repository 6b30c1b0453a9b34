#include "output.h"

#include "failure.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tamrix::cli {
namespace {

// Temporary names the signal handler may have to remove. Plain arrays: the
// handler may only touch lock-free, async-signal-safe state.
constexpr int kMaxTemps = 16;
constexpr size_t kMaxPath = 4096;
char g_temps[kMaxTemps][kMaxPath];
volatile sig_atomic_t g_tempUsed[kMaxTemps];

volatile sig_atomic_t g_interrupted = 0;
unsigned char g_cancel = 0;

void OnSignal(int)
{
    if (g_interrupted) {
        for (int i = 0; i < kMaxTemps; ++i)
            if (g_tempUsed[i])
                unlink(g_temps[i]);
        _exit(kExitInterrupted);
    }
    g_interrupted = 1;
    // The filter's worker threads read the flag while this runs; an atomic
    // byte store is lock-free and so safe in a signal handler.
    __atomic_store_n(&g_cancel, static_cast<unsigned char>(1), __ATOMIC_RELAXED);
}

int Register(const std::string& temp)
{
    if (temp.size() >= kMaxPath)
        return -1;
    for (int i = 0; i < kMaxTemps; ++i)
        if (!g_tempUsed[i]) {
            std::memcpy(g_temps[i], temp.c_str(), temp.size() + 1);
            g_tempUsed[i] = 1;
            return i;
        }
    return -1;
}

std::string Folder(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t CreationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

AtomicFile::AtomicFile(std::string path)
    : path_(std::move(path))
{
    if (path_.empty())
        throw Failure(kExitUsage, "empty output file name");
    struct stat st;
    if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw FileFailure(kExitFailure, path_, "is a folder, not a file");
    const std::string folder = Folder(path_);
    const std::string name
        = path_.substr(path_.find_last_of('/') == std::string::npos ? 0 : path_.find_last_of('/') + 1);
    temp_ = folder + "/." + name + ".tmp-XXXXXX";
    const int fd = mkstemp(temp_.data());
    if (fd < 0)
        throw FileFailure(
            kExitFailure, path_, std::string("cannot create a file in ") + folder + ": " + std::strerror(errno));
    fchmod(fd, CreationMode()); // mkstemp makes 0600; outputs get the usual permissions
    slot_ = Register(temp_);
    stream_ = fdopen(fd, "wb");
    if (!stream_) {
        close(fd);
        Discard();
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(errno));
    }
}

AtomicFile::~AtomicFile()
{
    Discard();
}

void AtomicFile::Discard()
{
    if (stream_)
        std::fclose(stream_);
    stream_ = nullptr;
    if (!temp_.empty())
        unlink(temp_.c_str());
    temp_.clear();
    if (slot_ >= 0)
        g_tempUsed[slot_] = 0;
    slot_ = -1;
}

void AtomicFile::Write(const void* data, size_t size)
{
    if (size && std::fwrite(data, 1, size, stream_) != size)
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(errno));
}

const std::string& AtomicFile::HandOver()
{
    if (stream_)
        std::fclose(stream_);
    stream_ = nullptr;
    return temp_;
}

void AtomicFile::Commit()
{
    ThrowIfInterrupted();
    int err = 0;
    if (stream_) {
        if (std::fflush(stream_) != 0 || fsync(fileno(stream_)) != 0)
            err = errno;
        if (std::fclose(stream_) != 0 && !err)
            err = errno;
        stream_ = nullptr;
    }
    if (!err && std::rename(temp_.c_str(), path_.c_str()) != 0)
        err = errno;
    if (err)
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(err));
    temp_.clear(); // renamed: nothing left to remove
    if (slot_ >= 0)
        g_tempUsed[slot_] = 0;
    slot_ = -1;
}

void InstallInterruptHandler()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

unsigned char* CancelFlag()
{
    return &g_cancel;
}

bool Interrupted()
{
    return g_interrupted != 0;
}

void ThrowIfInterrupted()
{
    if (g_interrupted)
        throw Failure(kExitInterrupted, "interrupted; no output written");
}

} // namespace tamrix::cli
