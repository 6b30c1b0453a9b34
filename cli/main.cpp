// tamrix: the command-line program. Parses the command line, runs the chosen
// subcommand, and turns every failure into one line on stderr and an exit
// status (see failure.h).
#include "commands.h"
#include "failure.h"
#include "output.h"

#include "tamrix_version.h"

#include <cstdio>
#include <new>

int main(int argc, char** argv)
{
    using namespace tamrix::cli;
    InstallInterruptHandler(); // from the start, so Ctrl-C never leaves a temporary behind
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
    AddNnCommand(app, action);
    AddDemoCommand(app, action);

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
    return kExitOk;
}
