// fcbench STEP FIGURES [...]: one step of bench/run.sh.
//   paths FIGURES WORKDIR [DISK_MIB]         the disk paths and their ceilings
//   endtoend FIGURES WORKDIR FCBACKUP [DISK_MIB]  whole fcbackup runs
//   mkfile FIGURES PATH DISK_MIB             a file full of data, for the anchors
//   add FIGURES NAME VALUE UNIT              a figure measured outside (nbdcopy)
//   gbench FIGURES FILE                      Google Benchmark's JSON output
//   report FIGURES RESULTS                   the table; exit 3 when a target was missed
//   serve FIGURES WORKDIR [DISK_MIB]         the bench simulator alone, for runs by hand,
//                                            until SIGINT or SIGTERM
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Bench.h"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: fcbench paths|endtoend|mkfile|add|gbench|report|serve FIGURES ...\n");
        return 2;
    }
    const std::string step = argv[1];
    fcbench::CFigures figures(argv[2]);
    std::string err;
    if (!figures.Load(err)) {
        std::fprintf(stderr, "fcbench: %s\n", err.c_str());
        return 1;
    }
    fcbench::SPathsOptions options;
    bool ok = false;
    if ((step == "paths" && argc >= 4) || (step == "endtoend" && argc >= 5)) {
        options.strWork = argv[3];
        const int sizeArg = step == "paths" ? 4 : 5;
        if (argc > sizeArg) options.ullDiskBytes = std::strtoull(argv[sizeArg], nullptr, 10) << 20;
        ok = step == "paths" ? fcbench::MeasurePaths(options, figures, err)
                             : fcbench::MeasureEndToEnd(options, argv[4], figures, err);
    } else if (step == "serve" && argc >= 4) {
        options.strWork = argv[3];
        if (argc > 4) options.ullDiskBytes = std::strtoull(argv[4], nullptr, 10) << 20;
        ok = fcbench::ServeSimulator(options, err);
    } else if (step == "mkfile" && argc == 5) {
        ok = fcbench::WriteDataFile(argv[3], std::strtoull(argv[4], nullptr, 10) << 20, 1u << 20,
                                    err);
    } else if (step == "add" && argc == 6) {
        figures.Add(argv[3], std::strtod(argv[4], nullptr), argv[5]);
        ok = true;
    } else if (step == "gbench" && argc == 4) {
        ok = fcbench::ImportGoogleBenchmark(argv[3], figures, err);
    } else if (step == "report" && argc == 4) {
        const bool met = fcbench::Report(figures, argv[3], err);
        if (!err.empty()) {
            std::fprintf(stderr, "fcbench: %s\n", err.c_str());
            return 1;
        }
        return met ? 0 : 3;
    } else {
        std::fprintf(stderr, "fcbench: bad arguments for %s\n", step.c_str());
        return 2;
    }
    if (!ok || !figures.Save(err)) {
        std::fprintf(stderr, "fcbench %s: %s\n", step.c_str(), err.c_str());
        return 1;
    }
    return 0;
}
