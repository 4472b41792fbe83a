// fcsim: the FusionCompute simulator as a server on 127.0.0.1, until SIGINT or SIGTERM.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "Simulator.h"

int main(int argc, char** argv) {
    fcsim::SSimOptions opt;
    opt.bSeed = false;
    opt.nPort = 7443;
    bool bHttp = false;
    int version = opt.settings.nVersion;
    CLI::App app{"FusionCompute simulator: management REST service and CNA disk-file server"};
    app.add_option("--state", opt.strStateDir,
                   "State folder (kept); default: a temporary folder removed at exit");
    app.add_option("--port", opt.nPort, "Management service port (0 = any free one)");
    app.add_option("--cna-port", opt.nCnaPort, "CNA disk-file server port (0 = any free one)");
    app.add_flag("--http", bHttp, "Serve plain HTTP instead of HTTPS");
    app.add_flag("--seed", opt.bSeed, "Replace the inventory with the demo inventory");
    app.add_option("--version", version, "Management version number (63 = v6.3)")
        ->check(CLI::Range(10, 99));
    app.add_option("--user", opt.settings.strUser, "Login user");
    app.add_option("--password", opt.settings.strPassword, "Login password");
    app.add_option("--lease-secs", opt.settings.llLeaseSecs, "Default disk-access lifetime")
        ->check(CLI::Range(1, 7200));
    app.add_option("--session-idle-secs", opt.settings.llSessionIdleSecs, "Token idle time-out")
        ->check(CLI::PositiveNumber);
    app.add_option("--task-polls", opt.settings.nTaskPolls,
                   "Polls a task reports running before it ends")
        ->check(CLI::Range(0, 100));
    CLI11_PARSE(app, argc, argv);
    opt.bHttps = !bHttp;
    opt.settings.nVersion = version;

    // A client that goes away mid-answer must not end the server.
    signal(SIGPIPE, SIG_IGN);
    // Block the stop signals before any thread starts, so that only sigwait below sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    fcsim::CSimulator sim;
    std::string err;
    if (!sim.Start(opt, err)) {
        std::fprintf(stderr, "fcsim: %s\n", err.c_str());
        return 1;
    }
    std::fputs(sim.StartupText().c_str(), stdout);
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    std::printf("fcsim: stopping\n");
    sim.Stop();
    return 0;
}
