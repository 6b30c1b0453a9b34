// Output files that appear whole or not at all, and the Ctrl-C handling that
// goes with them.
#pragma once

#include <cstdio>
#include <string>

namespace tamrix::cli {

// A file written under a temporary name in the destination's folder and
// renamed over the destination by Commit(). Until then the destination is
// untouched; a file that is destroyed uncommitted (an error, an exception, an
// interrupt) removes its temporary, so no half-written output ever appears.
class AtomicFile {
public:
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    FILE* Stream() const { return stream_; }
    const std::string& Path() const { return path_; }
    void Write(const void* data, size_t size);
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    // For writers that open files by name: closes our stream and returns the
    // temporary name for them to write; Commit() still renames it.
    const std::string& HandOver();
    // Flushes to disk and renames; throws Failure naming the destination.
    void Commit();

private:
    void Discard();

    std::string path_, temp_;
    FILE* stream_ = nullptr;
    int slot_ = -1;
};

// Installs the SIGINT/SIGTERM handler: the first signal sets the cancel flag
// and the interrupted state; a second one removes every temporary output and
// ends the process at once.
void InstallInterruptHandler();

// The byte the median polls between rows; non-zero after Ctrl-C.
unsigned char* CancelFlag();

bool Interrupted();

// Throws the interruption failure when Ctrl-C has been pressed. Operations that
// cannot be cancelled midway call it after they return, before anything is
// committed.
void ThrowIfInterrupted();

} // namespace tamrix::cli
