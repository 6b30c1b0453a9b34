// A fresh directory for the files a test writes, removed with everything in
// it at the end of the test. Portable: the system's temporary directory and a
// random name, no POSIX calls.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace tamrix::test {

class TempDir {
public:
    TempDir()
    {
        std::random_device seed;
        std::mt19937_64 rng((uint64_t { seed() } << 32) ^ seed());
        const auto base = std::filesystem::temp_directory_path();
        do
            dir_ = base / ("tamrix-test-" + std::to_string(rng()));
        while (!std::filesystem::create_directory(dir_));
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path of a file in the directory, as narrow text for the FIO calls.
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Writes bytes to a file of the directory and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path dir_;
};

} // namespace tamrix::test
