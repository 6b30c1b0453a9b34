// Output files that appear whole or not at all, the inputs they must never
// replace, and the signal handling that goes with them.
#pragma once

#include <cstdio>
#include <string>

namespace tamrix::cli {

// Whether an output may be standard output: "-" names it for text (CSV, JSON,
// regions, field and network files), never for FITS or PNG.
enum class OutputKind { Text, Binary };

// A file written under a temporary name in the destination's folder and
// renamed over the destination by Commit(). Until then the destination is
// untouched; a file that is destroyed uncommitted (an error, an exception, a
// signal) removes its temporary, so no half-written output ever appears.
//
// The destination is where the path leads: a symbolic link stays a link and
// its target is replaced; "-", /dev/stdout, /dev/fd/N, a pipe or a device is
// written directly (it cannot be renamed over). A replaced file keeps its
// permissions; a new one gets 0666 less the umask. A destination that is one
// of the command's inputs (by device and inode) is refused.
class AtomicFile {
public:
    explicit AtomicFile(std::string path, OutputKind kind = OutputKind::Text);
    // A scratch file in `folder` for writers that need a name: never
    // committed, removed when the object goes (or a signal ends the program).
    struct ScratchIn {
        std::string folder;
    };
    explicit AtomicFile(const ScratchIn& scratch);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    FILE* Stream() const { return stream_; }
    const std::string& Path() const { return path_; }
    void Write(const void* data, size_t size);
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    // For writers that open files by name: returns a file name for them to
    // write, written nowhere else; Commit() puts that file in place.
    const std::string& HandOver();
    // Flushes to disk and renames (or finishes the direct write); throws
    // Failure naming the destination.
    void Commit();

private:
    void OpenTemporary(const std::string& folder, const std::string& name);
    void Discard();

    std::string path_; // as given, for messages
    std::string target_; // the file renamed over; empty when written directly
    std::string temp_;
    FILE* stream_ = nullptr; // the temporary, or the destination written directly
    FILE* direct_ = nullptr; // that destination while a handed-over file stands in for it
    int slot_ = -1;
};

// Parse-time check of an output path: a usage error for "-" of a binary
// output; otherwise the destination is remembered, so that NoteInput refuses
// it as an input before anything is computed.
void ReserveOutput(const std::string& path, OutputKind kind);

// Every reader calls this with each file it opens as an input. Throws a usage
// Failure when the file is also a reserved output.
void NoteInput(const std::string& path);

// Where a command's report lines go: stdout, or stderr once an output is
// written to standard output.
FILE* Messages();

// A scratch folder (of files only) that a signal ending the program at once
// removes with its files; its owner removes it otherwise. One at a time.
void RegisterScratchFolder(const std::string& folder);

// Installs the signal handlers. SIGINT and SIGTERM: the first sets the cancel
// flag and the interrupted state; a second one removes every temporary
// output and ends the process at once. SIGHUP, SIGPIPE and SIGXFSZ remove the
// temporaries and end the process by that signal. A signal ignored by the
// parent (nohup) stays ignored.
void InstallSignalHandlers();

// The byte the median polls between rows; non-zero after Ctrl-C.
unsigned char* CancelFlag();

bool Interrupted();

// Throws the interruption failure (exit status 128 + the signal: 130 for
// SIGINT, 143 for SIGTERM) once such a signal has come. Operations that
// cannot be cancelled midway call it after they return, before anything is
// committed.
void ThrowIfInterrupted();

} // namespace tamrix::cli
