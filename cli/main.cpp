// tamrix: the command-line program. Parses the command line, runs the chosen
// subcommand, and turns every failure into one line on stderr and an exit
// status (see failure.h).
#include "commands.h"
#include "failure.h"
#include "output.h"

#include "tamrix_version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// The first word that is not a command where one is expected, or "" when the
// command words are all known ("nn frobnicate" names both).
std::string UnknownCommand(CLI::App& app, int argc, char** argv)
{
    CLI::App* level = &app;
    std::string words;
    for (int i = 1; i < argc && argv[i][0] != '-' && !level->get_subcommands([](CLI::App*) { return true; }).empty();
         ++i) {
        words += (words.empty() ? "" : " ") + std::string(argv[i]);
        try {
            level = level->get_subcommand(argv[i]);
        } catch (const CLI::OptionNotFound&) {
            return words;
        }
    }
    return "";
}

} // namespace

int main(int argc, char** argv)
{
    using namespace tamrix::cli;
    InstallSignalHandlers(); // from the start, so no signal ever leaves a temporary behind
#if defined(__GLIBC__)
    // Frames come and go by the dozen (a stack allocates and frees some
    // 150 MB per light): keep freed memory for the next one rather than
    // handing it back and faulting fresh zeroed pages in again.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    CLI::App app { "tamrix: frame operations for astronomical images, on FITS files", "tamrix" };
    app.set_version_flag("--version", "tamrix " TAMRIX_VERSION_STRING);
    app.require_subcommand(1);
    Action action;
    AddFrameCommands(app, action);
    AddStarsCommand(app, action);
    AddMedianCommand(app, action);
    AddGeometryCommands(app, action);
    AddStatsCommand(app, action);
    AddRenderCommand(app, action);
    AddFieldCommands(app, action);
    AddCombineCommand(app, action);
    AddStackCommand(app, action);
    AddNnCommand(app, action);
    AddDemoCommand(app, action);

    const std::string unknown = UnknownCommand(app, argc, argv);
    if (!unknown.empty()) {
        std::fprintf(stderr, "tamrix: unknown command '%s' (see tamrix --help)\n", unknown.c_str());
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e); // --help, --version
        std::fprintf(stderr, "tamrix: usage error: %s (see tamrix --help)\n", e.what());
        return kExitUsage;
    }

    try {
        action();
        ThrowIfInterrupted();
    } catch (const Failure& e) {
        if (*e.what()) // empty: the command has reported its failures itself
            std::fprintf(stderr, "tamrix: error: %s\n", e.what());
        return e.Status();
    } catch (const tamrix::intake::Error& e) {
        std::fprintf(stderr, "tamrix: error: %s\n", e.what());
        return StatusOf(e.Kind());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tamrix: error: out of memory\n");
        return kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamrix: error: %s\n", e.what());
        return kExitFailure;
    }
    // A report that did not reach its reader is a failure too (a full disk);
    // a reader that went away (a closed pipe) ends it quietly.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == EPIPE)
            return kExitFailure;
        std::fprintf(stderr, "tamrix: error: cannot write to standard output: %s\n", std::strerror(errno));
        return kExitFailure;
    }
    return kExitOk;
}
