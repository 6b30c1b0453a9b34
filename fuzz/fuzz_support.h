// Shared by the libFuzzer targets: the readers take file names, so each
// input goes to a file of its own process first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace tamrix::fuzz {

// A file named after the process, removed at exit: in memory (/dev/shm)
// where there is such a folder, as writing one to disk per input can cost
// twenty times the reading.
class ScratchFile {
public:
    explicit ScratchFile(const char* tag)
        : path_((Folder() / ("tamrix-fuzz-" + std::string(tag) + "-" + std::to_string(getpid()))).string())
    {
    }
    ~ScratchFile() { std::remove(path_.c_str()); }

    const std::string& Write(const uint8_t* data, size_t size) const
    {
        FILE* f = std::fopen(path_.c_str(), "wb");
        if (f != nullptr) {
            if (size > 0)
                std::fwrite(data, 1, size, f);
            std::fclose(f);
        }
        return path_;
    }

private:
    static std::filesystem::path Folder()
    {
        std::error_code error;
        return std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : std::filesystem::temp_directory_path();
    }

    std::string path_;
};

} // namespace tamrix::fuzz
