#include "output.h"

#include "failure.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace tamrix::cli {
namespace {

// Temporary names the signal handlers may have to remove. Plain arrays: a
// handler may only touch lock-free, async-signal-safe state.
constexpr int kMaxTemps = 16;
constexpr size_t kMaxPath = 4096;
char g_temps[kMaxTemps][kMaxPath];
volatile sig_atomic_t g_tempUsed[kMaxTemps];

volatile sig_atomic_t g_signal = 0; // the first SIGINT or SIGTERM
unsigned char g_cancel = 0;
bool g_stdoutTaken = false;

char g_scratch[kMaxPath];
volatile sig_atomic_t g_scratchUsed = 0;

// Removes the scratch folder's files and the folder with system calls
// alone, which a signal handler may make (readdir may not be).
void RemoveScratchFolder()
{
#ifdef __linux__
    if (!g_scratchUsed)
        return;
    const int fd = open(g_scratch, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buffer[4096];
        long n;
        // Removing entries while listing may skip some: list again until none is left.
        for (bool removed = true; removed;) {
            removed = false;
            lseek(fd, 0, SEEK_SET);
            while ((n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0)
                for (long at = 0; at < n;) {
                    // struct linux_dirent64: inode, offset, record length, type, name
                    unsigned short length;
                    std::memcpy(&length, buffer + at + 16, sizeof length);
                    const char* name = buffer + at + 19;
                    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
                        removed |= unlinkat(fd, name, 0) == 0;
                    at += length;
                }
        }
        close(fd);
    }
    rmdir(g_scratch);
#endif
}

void RemoveTemporaries()
{
    for (int i = 0; i < kMaxTemps; ++i)
        if (g_tempUsed[i])
            unlink(g_temps[i]);
    RemoveScratchFolder();
}

void OnInterrupt(int sig)
{
    if (g_signal) {
        RemoveTemporaries();
        _exit(kExitSignal + sig);
    }
    g_signal = sig;
    // The filter's worker threads read the flag while this runs; an atomic
    // byte store is lock-free and so safe in a signal handler.
    __atomic_store_n(&g_cancel, static_cast<unsigned char>(1), __ATOMIC_RELAXED);
}

// Hang-up, a closed pipe, the file size limit: nothing to finish, so clean up
// and end by the signal itself, as the shell expects (a closed pipe quietly).
void OnFatal(int sig)
{
    RemoveTemporaries();
    signal(sig, SIG_DFL);
    raise(sig); // delivered when the handler returns
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

std::string Name(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t CreationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The descriptor a name stands for: "-", /dev/stdout, /dev/stderr,
// /dev/fd/N, /proc/self/fd/N; -1 for any other name. Writing to a copy of the
// descriptor keeps what the shell set up (a pipe, a file opened to append).
int DescriptorOf(const std::string& path)
{
    if (path == "-" || path == "/dev/stdout")
        return 1;
    if (path == "/dev/stderr")
        return 2;
    for (const char* folder : { "/dev/fd/", "/proc/self/fd/" }) {
        const size_t n = std::strlen(folder);
        if (path.compare(0, n, folder) == 0 && path.size() > n && path.size() < n + 10
            && path.find_first_not_of("0123456789", n) == std::string::npos)
            return std::atoi(path.c_str() + n);
    }
    return -1;
}

struct Identity {
    dev_t device;
    ino_t inode;
    std::string path;
};
std::vector<Identity> g_inputs, g_outputs;

const Identity* Find(const std::vector<Identity>& list, const struct stat& st)
{
    for (const Identity& id : list)
        if (id.device == st.st_dev && id.inode == st.st_ino)
            return &id;
    return nullptr;
}

Failure SameFile(const std::string& output, const std::string& input)
{
    return FileFailure(kExitUsage, output,
        (output == input ? std::string("is an input too") : "is the input " + input)
            + "; write the result to another file (no tamrix command works in place)");
}

// The destination of a path: the file a chain of symbolic links ends at, or
// the descriptor one of them names (descriptor >= 0).
struct Destination {
    std::string path;
    int descriptor = -1;
    bool exists = false;
    struct stat st { };
};

Destination Resolve(const std::string& given)
{
    Destination d;
    d.path = given;
    for (int hops = 0; hops < 40; ++hops) {
        if ((d.descriptor = DescriptorOf(d.path)) >= 0)
            return d;
        if (lstat(d.path.c_str(), &d.st) != 0)
            return d; // a new file (or one we cannot reach: creating it will say why)
        if (!S_ISLNK(d.st.st_mode)) {
            d.exists = true;
            return d;
        }
        std::vector<char> link(static_cast<size_t>(d.st.st_size > 0 ? d.st.st_size : PATH_MAX) + 1);
        const ssize_t n = readlink(d.path.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<size_t>(n) >= link.size())
            throw FileFailure(kExitFailure, given, "cannot read the symbolic link " + d.path);
        const std::string target(link.data(), static_cast<size_t>(n));
        d.path = target[0] == '/' ? target : Folder(d.path) + "/" + target;
    }
    throw FileFailure(kExitFailure, given, "too many levels of symbolic links");
}

} // namespace

AtomicFile::AtomicFile(std::string path, OutputKind kind)
    : path_(std::move(path))
{
    ReserveOutput(path_, kind);
    const Destination d = Resolve(path_);
    int fd = -1;
    if (d.descriptor >= 0) {
        fd = dup(d.descriptor);
        if (d.descriptor == 1)
            g_stdoutTaken = true;
    } else if (d.exists && S_ISDIR(d.st.st_mode)) {
        throw FileFailure(kExitFailure, path_, "is a folder, not a file");
    } else if (d.exists && !S_ISREG(d.st.st_mode)) {
        fd = open(d.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC); // a pipe or a device: never renamed over
    } else {
        if (d.exists)
            if (const Identity* input = Find(g_inputs, d.st))
                throw SameFile(path_, input->path);
        target_ = d.path;
        OpenTemporary(Folder(target_), Name(target_));
        // mkstemp makes 0600. A replacement keeps the file's owner (where we
        // may set it: chown first, as it clears set-id bits) and permissions.
        if (d.exists && fchown(fileno(stream_), d.st.st_uid, d.st.st_gid) != 0) {
            // not ours to give away: the file becomes ours
        }
        fchmod(fileno(stream_), d.exists ? d.st.st_mode & 07777 : CreationMode());
        return;
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        const int err = errno;
        if (fd >= 0)
            close(fd);
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(err));
    }
    if (const Identity* input = Find(g_inputs, st)) {
        close(fd);
        throw SameFile(path_, input->path);
    }
    stream_ = fdopen(fd, "wb");
    if (!stream_) {
        close(fd);
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(errno));
    }
}

AtomicFile::AtomicFile(const ScratchIn& scratch)
    : path_(scratch.folder)
{
    OpenTemporary(scratch.folder, "tamrix");
}

void AtomicFile::OpenTemporary(const std::string& folder, const std::string& name)
{
    temp_ = folder + "/." + name + ".tmp-XXXXXX";
    const int fd = mkstemp(temp_.data());
    if (fd < 0) {
        const int err = errno;
        temp_.clear();
        throw FileFailure(
            kExitFailure, path_, std::string("cannot create a file in ") + folder + ": " + std::strerror(err));
    }
    slot_ = Register(temp_);
    stream_ = fdopen(fd, "wb");
    if (!stream_) {
        const int err = errno;
        close(fd);
        Discard();
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(err));
    }
}

AtomicFile::~AtomicFile()
{
    Discard();
}

void AtomicFile::Discard()
{
    for (FILE** f : { &stream_, &direct_ })
        if (*f) {
            std::fclose(*f);
            *f = nullptr;
        }
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
    if (target_.empty() && temp_.empty()) {
        // Written directly: the writer gets a scratch file, copied across at Commit().
        const char* tmp = std::getenv("TMPDIR");
        std::swap(direct_, stream_);
        OpenTemporary(tmp && *tmp ? tmp : "/tmp", "tamrix-out");
    }
    if (stream_)
        std::fclose(stream_);
    stream_ = nullptr;
    return temp_;
}

void AtomicFile::Commit()
{
    ThrowIfInterrupted();
    int err = 0;
    const auto fail = [&err](int code) {
        if (!err)
            err = code;
    };
    if (direct_) {
        // A handed-over file for a direct destination: copy it across.
        stream_ = direct_;
        direct_ = nullptr;
        if (FILE* in = std::fopen(temp_.c_str(), "rb")) {
            std::vector<char> buffer(1 << 16);
            size_t n;
            while (!err && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
                if (std::fwrite(buffer.data(), 1, n, stream_) != n)
                    fail(errno);
            if (std::ferror(in))
                fail(errno);
            std::fclose(in);
        } else {
            fail(errno);
        }
    }
    if (stream_) {
        std::fflush(stdout); // what the program printed comes first
        if (std::fflush(stream_) != 0)
            fail(errno);
        // A renamed file must be on disk first; pipes and devices cannot be synced.
        if (!target_.empty() && fsync(fileno(stream_)) != 0)
            fail(errno);
        if (std::fclose(stream_) != 0)
            fail(errno);
        stream_ = nullptr;
    }
    if (!err && !target_.empty() && std::rename(temp_.c_str(), target_.c_str()) != 0)
        fail(errno);
    if (err)
        throw FileFailure(kExitFailure, path_, std::string("cannot write: ") + std::strerror(err));
    if (!target_.empty())
        temp_.clear(); // renamed: nothing left to remove
    Discard();
}

void ReserveOutput(const std::string& path, OutputKind kind)
{
    if (path.empty())
        throw Failure(kExitUsage, "empty output file name");
    if (path == "-" && kind == OutputKind::Binary)
        throw Failure(kExitUsage, "- (standard output) takes text only: name a file for a FITS or PNG output");
    struct stat st;
    if (DescriptorOf(path) < 0 && stat(path.c_str(), &st) == 0)
        g_outputs.push_back({ st.st_dev, st.st_ino, path });
}

void NoteInput(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return; // the reader reports it
    if (const Identity* output = Find(g_outputs, st))
        throw SameFile(output->path, path);
    g_inputs.push_back({ st.st_dev, st.st_ino, path });
}

FILE* Messages()
{
    return g_stdoutTaken ? stderr : stdout;
}

void RegisterScratchFolder(const std::string& folder)
{
    g_scratchUsed = 0;
    if (folder.size() >= kMaxPath)
        return;
    std::memcpy(g_scratch, folder.c_str(), folder.size() + 1);
    g_scratchUsed = 1;
}

void InstallSignalHandlers()
{
    struct sigaction sa, old;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    for (const int sig : { SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ }) {
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sa.sa_handler = sig == SIGINT || sig == SIGTERM ? OnInterrupt : OnFatal;
        sigaction(sig, &sa, nullptr);
    }
}

unsigned char* CancelFlag()
{
    return &g_cancel;
}

bool Interrupted()
{
    return g_signal != 0;
}

void ThrowIfInterrupted()
{
    if (g_signal)
        throw Failure(kExitSignal + g_signal,
            g_signal == SIGTERM ? "terminated; no output written" : "interrupted; no output written");
}

} // namespace tamrix::cli
