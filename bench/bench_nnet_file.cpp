// The network file: SaveNet and LoadNet of a 784-100-10 network, in bytes of
// file per second. Each is paired with its floor, the same bytes written or
// read with one call of the host file functions, so that the summary shows
// what the text formatting and parsing add to the file system's own cost.
#include "hostlib.h"
#include "nnet.h"
#include "support.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tamrix::bench {
namespace {

const std::string& FilePath()
{
    static const std::string path = (std::filesystem::temp_directory_path() / "tamrix-bench-net.txt").string();
    return path;
}

std::unique_ptr<nnet::CNetwork> Network()
{
    const int sizes[] = { 784, 100, 10 };
    Lib::FixSeed(1);
    return std::make_unique<nnet::CNetwork>(3, sizes);
}

// The saved text of the benchmark's network, written once.
const std::string& FileText()
{
    static const std::string text = [] {
        char message[100];
        Network()->SaveNet(1000, FilePath().c_str(), 99, message);
        FILE* f = std::fopen(FilePath().c_str(), "rb");
        std::string bytes;
        for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;)
            bytes.push_back(static_cast<char>(c));
        if (f != nullptr)
            std::fclose(f);
        return bytes;
    }();
    return text;
}

void SetFileRate(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(FileText().size()));
}

void Save(benchmark::State& state)
{
    auto net = Network();
    char message[100];
    for (auto _ : state)
        if (!net->SaveNet(1000, FilePath().c_str(), 99, message))
            state.SkipWithError(message);
    SetFileRate(state);
}

void SaveFloor(benchmark::State& state)
{
    const std::string& text = FileText();
    for (auto _ : state) {
        const FIO::THandle f = FIO::CreateA(1000, FilePath().c_str(), 0);
        FIO::WrStrA(f, static_cast<int>(text.size()), text.c_str());
        FIO::Close(f);
    }
    SetFileRate(state);
}

void Load(benchmark::State& state)
{
    FileText();
    nnet::CNetwork net;
    char message[100];
    for (auto _ : state)
        if (!net.LoadNet(1000, FilePath().c_str(), 99, message))
            state.SkipWithError(message);
    SetFileRate(state);
}

void LoadFloor(benchmark::State& state)
{
    std::vector<char> buffer(FileText().size());
    for (auto _ : state) {
        const FIO::THandle f = FIO::OpenReadA(1000, FilePath().c_str(), 1);
        const auto size = static_cast<int>(FIO::Size(f));
        FIO::RdBin(f, size - 1, buffer.data(), size);
        FIO::Close(f);
        benchmark::DoNotOptimize(buffer.data());
    }
    SetFileRate(state);
}

const int registered = [] {
    benchmark::RegisterBenchmark("NN/SaveNet/784-100-10", Save)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("NN/SaveNet/784-100-10/floor", SaveFloor)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("NN/LoadNet/784-100-10", Load)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("NN/LoadNet/784-100-10/floor", LoadFloor)->Unit(benchmark::kMillisecond);
    return 0;
}();

} // namespace
} // namespace tamrix::bench
