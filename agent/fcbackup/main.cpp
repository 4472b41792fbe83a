// fcbackup: backs VMs of the platform up into a repository folder and restores them, through
// the plug-in loaded as the agent loads it.
#include <CLI/CLI.hpp>
#include <iostream>

#include "Cli.h"

int main(int argc, char** argv) {
    CLI::App app{"fcbackup: back up and restore FusionCompute VMs through the plug-in"};
    app.require_subcommand(0, 1);
    app.footer(
        "Exit status: 0 done, 1 failed (the reason is printed, with where the log is), "
        "2 usage error.\nThe password is read from --password-file FILE, else from FC_PASSWORD, "
        "else asked for on the terminal.\nRun 'fcbackup demo' to see it all work against a "
        "built-in simulator.");
    fcbackup::FRun run;
    fcbackup::AddPlatformCommands(app, run);
    fcbackup::AddJobCommands(app, run);
    fcbackup::AddRepoCommands(app, run);
    fcbackup::AddSimCommands(app, run);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return fcbackup::EXIT_USAGE;
    }
    if (!run) {
        std::cerr << app.help();
        return fcbackup::EXIT_USAGE;
    }
    try {
        return run();
    } catch (const std::exception& e) {
        std::cerr << "fcbackup: " << e.what() << "\n";
        return fcbackup::EXIT_FAILED;
    }
}
