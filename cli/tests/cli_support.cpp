#include "cli_support.h"

#include <fitsio.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tamrix::clitest {
namespace {

int TempFile()
{
    char name[] = "/tmp/tamrix-cli-out-XXXXXX";
    const int fd = mkstemp(name);
    unlink(name);
    return fd;
}

void Check(int status, const char* what)
{
    if (status) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

} // namespace

Result Tamrix(const std::vector<std::string>& args, const std::string& interruptOn, int signal)
{
    const int out = TempFile(), err = TempFile();
    const pid_t pid = fork();
    if (pid == 0) {
        // The signals the tests send start at their defaults: a shell without
        // job control starts background jobs ignoring SIGINT, nohup SIGHUP.
        for (const int s : { SIGINT, SIGHUP, SIGTERM, SIGPIPE, SIGXFSZ })
            std::signal(s, SIG_DFL);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv { const_cast<char*>(TAMRIX_CLI_PATH) };
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(TAMRIX_CLI_PATH, argv.data());
        _exit(127);
    }
    // Watches stderr while the program runs (WNOWAIT leaves it to the wait below).
    siginfo_t ended {};
    while (!interruptOn.empty() && waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0
        && ended.si_pid == 0) {
        char buffer[65536];
        const ssize_t n = pread(err, buffer, sizeof buffer, 0);
        if (n > 0 && std::string(buffer, size_t(n)).find(interruptOn) != std::string::npos) {
            kill(pid, signal);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    return run;
}

void WriteFits(const std::string& path, const FitsLayout& layout, const std::vector<double>& values)
{
    const std::string plain = layout.gzip ? path + ".plain" : path;
    unlink(plain.c_str());
    fitsfile* f = nullptr;
    int status = 0;
    Check(fits_create_diskfile(&f, plain.c_str(), &status), "create");
    long axes[3] = { layout.width, layout.height, layout.planes };
    const int naxis = layout.planes > 0 ? 3 : 2;
    if (layout.inExtension || layout.tiled)
        fits_create_img(f, 8, 0, axes, &status);
    if (layout.tiled) {
        fits_set_compression_type(f, GZIP_1, &status);
        fits_set_quantize_level(f, 0.0, &status); // floating point kept exactly
    }
    fits_create_img(f, layout.bitpix, naxis, axes, &status);
    if ((layout.bzero != 0 || layout.bscale != 1) && layout.bitpix > 0) {
        double bzero = layout.bzero, bscale = layout.bscale;
        fits_write_key(f, TDOUBLE, "BSCALE", &bscale, nullptr, &status);
        fits_write_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
        fits_set_bscale(f, layout.bscale, layout.bzero, &status);
    }
    if (layout.hasBlank) {
        LONGLONG blank = layout.blank;
        fits_write_key(f, TLONGLONG, "BLANK", &blank, nullptr, &status);
        fits_set_imgnull(f, blank, &status);
    }
    if (layout.inExtension)
        fits_write_key_str(f, "EXTNAME", "SCI", nullptr, &status);
    for (const std::string& card : layout.cards)
        fits_write_record(f, card.c_str(), &status);
    // NaN marks undefined pixels: BLANK in integers (through a stand-in value
    // CFITSIO can compare), itself in floating point.
    std::vector<double> copy = values;
    double undefined = -1e300;
    for (double& v : copy)
        if (std::isnan(v) && layout.bitpix > 0)
            v = undefined;
    if (layout.hasBlank)
        fits_write_imgnull(f, TDOUBLE, 1, LONGLONG(copy.size()), copy.data(), &undefined, &status);
    else
        fits_write_img(f, TDOUBLE, 1, LONGLONG(copy.size()), copy.data(), &status);
    fits_close_file(f, &status);
    Check(status, path.c_str());
    if (layout.gzip) {
        WriteGzip(path, ReadFile(plain));
        unlink(plain.c_str());
    }
}

void WriteGzip(const std::string& path, const std::string& bytes)
{
    gzFile gz = gzopen(path.c_str(), "wb");
    gzwrite(gz, bytes.data(), unsigned(bytes.size()));
    gzclose(gz);
}

FitsImage ReadFits(const std::string& path)
{
    fitsfile* f = nullptr;
    int status = 0;
    Check(fits_open_diskfile(&f, path.c_str(), READONLY, &status), path.c_str());
    FitsImage image;
    int naxis = 0;
    long axes[2] = { 0, 0 };
    fits_get_img_param(f, 2, &image.bitpix, &naxis, axes, &status);
    image.physical.resize(size_t(axes[0]) * axes[1]);
    int anyNull = 0;
    double nan = std::numeric_limits<double>::quiet_NaN();
    fits_read_img(f, TDOUBLE, 1, LONGLONG(image.physical.size()), &nan, image.physical.data(), &anyNull, &status);
    int count = 0;
    fits_get_hdrspace(f, &count, nullptr, &status);
    for (int i = 1; i <= count; ++i) {
        char card[FLEN_CARD];
        fits_read_record(f, i, card, &status);
        image.cards.push_back(card);
    }
    fits_close_file(f, &status);
    Check(status, path.c_str());
    return image;
}

bool FitsImage::HasCard(const std::string& part) const
{
    return std::any_of(
        cards.begin(), cards.end(), [&](const std::string& c) { return c.find(part) != std::string::npos; });
}

std::string ReadAll(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET); // fails harmlessly on a pipe
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    close(fd);
    return text;
}

Result Ok(const std::vector<std::string>& args)
{
    Result run = Tamrix(args);
    if (run.status != 0)
        throw std::runtime_error(
            "tamrix " + args[0] + " ended with status " + std::to_string(run.status) + ":\n" + run.err);
    return run;
}

::testing::AssertionResult Has(const std::string& text, const std::string& part)
{
    return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
        << "'" << part << "' in:\n"
        << text;
}

void ExpectOneLineError(const Result& run, int status, const std::string& file, const std::string& problem)
{
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(Has(run.err, file));
    EXPECT_TRUE(Has(run.err, problem));
}

} // namespace tamrix::clitest
