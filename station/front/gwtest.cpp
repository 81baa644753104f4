// gwtest: the test station. One subcommand per job; see gwtest --help.
#include <cstdio>

#include "front/commands.h"

int main(int argc, char **argv)
{
    using namespace station::cli;
    CLI::App app{"gwtest: the test station of the home-automation gateway.\n"
                 "Exit status: 0 pass, 1 a test failed, 2 a test got no reply in time, 3 connection error,\n"
                 "64 usage error, 70 the records could not be written."};
    app.require_subcommand(1);
    app.set_version_flag("--version", GWTEST_VERSION);
    int status = kExitPass;
    addCallCommands(app, status);
    addRunCommand(app, status);
    addReportCommand(app, status);
    addForwardCommand(app, status);
    addServeCommand(app, status);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) {
            // --help and --version: to standard output, status 0.
            app.exit(e);
            return kExitPass;
        }
        std::fprintf(stderr, "gwtest: %s\n", e.what());
        std::fprintf(stderr, "(see gwtest --help)\n");
        return kExitUsage;
    }
    return status;
}
