// The working part of the VrmVBSTools stand-in; the Java class VrmVBSTools starts it with its
// own arguments:
//   --mngIp <list> --dsaIp <addr> --help
//   --mngIp <list> --dsaIp <addr> --op createVolumeFromSnap --volName <v> --volSize <bytes>
//                                     --snapNameSrc <snapshot>
//   --mngIp <list> --dsaIp <addr> --op createBitmapVolume --volName <v> --snapNameTo <s>
//                                     [--snapNameFrom <s>]
//   --mngIp <list> --dsaIp <addr> --op queryBitmapVolume --volName <v>
// Prints a log line, then the key=value answer; exit status 0 on success, 1 on failure, 2 for
// a wrong command line. The Java class passes its class path in FCSIM_VRM_CLASSPATH.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "FsFaults.h"
#include "FsToolCommon.h"
#include "FsVolumeStore.h"
#include "SimState.h"

using namespace fcsim;

namespace {

int Usage(const std::string& why) {
    std::printf("ERROR %s\n", why.c_str());
    FsPrintResult(std::to_string(FS_E_INVALID), why, "");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string state;
    if (!FsToolStateDir("VrmVBSTools", state)) return 1;
    CFsVolumeStore store(state);
    const char* classPath = std::getenv("FCSIM_VRM_CLASSPATH");
    store.LogCall("VrmVBSTools", FsCurrentDir(), classPath ? classPath : "", args);

    std::map<std::string, std::string> options;
    bool help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help") {
            help = true;
        } else if (args[i].compare(0, 2, "--") == 0 && i + 1 < args.size()) {
            if (options.count(args[i])) return Usage("option given twice: " + args[i]);
            options[args[i]] = args[i + 1];
            ++i;
        } else {
            return Usage("unexpected argument: " + args[i]);
        }
    }
    // The manager and data-agent addresses are always given (the manager list may be empty).
    if (!options.count("--mngIp") || !options.count("--dsaIp")) {
        return Usage("--mngIp and --dsaIp are required");
    }
    const std::string op = help ? "vrmhelp" : options["--op"];
    if (op.empty()) return Usage("--op is required");

    CFsFaults faults(state);
    SFsFault fault;
    bool haveFault = faults.Take(op, fault);
    int status = 0;
    if (haveFault && FsApplyFault(fault, true, status)) return status;

    std::printf("INFO  VrmVBSTools %s manager [%s]\n", op.c_str(), options["--mngIp"].c_str());
    if (help) {
        std::printf(
            "VrmVBSTools (simulator) operations: createVolumeFromSnap, "
            "createBitmapVolume, queryBitmapVolume\n");
        return 0;
    }

    auto need = [&](const char* name, std::string& value) {
        auto it = options.find(name);
        if (it == options.end()) return false;
        value = it->second;
        return true;
    };
    std::string error;
    std::string extra;
    std::string volume;
    int rc = FS_OK;
    if (!need("--volName", volume)) return Usage("--volName is required");
    if (op == "createVolumeFromSnap") {
        std::string sizeText;
        std::string snapshot;
        uint64_t size = 0;
        if (!need("--volSize", sizeText) || !fcsim::CSimState::ParseDecimal(sizeText, size)) {
            return Usage("--volSize needs a size in bytes");
        }
        if (!need("--snapNameSrc", snapshot)) return Usage("--snapNameSrc is required");
        rc = store.CreateFromSnapshot(volume, size, snapshot, error);
    } else if (op == "createBitmapVolume") {
        std::string to;
        std::string from;
        if (!need("--snapNameTo", to)) return Usage("--snapNameTo is required");
        need("--snapNameFrom", from);
        int notReady = haveFault && fault.strAction == "notready" ? fault.nValue : -1;
        rc = store.CreateBitmap(volume, to, from, notReady, error);
    } else if (op == "queryBitmapVolume") {
        uint32_t bitmapStatus = 0;
        uint32_t blockSize = 0;
        rc = store.QueryBitmap(volume, bitmapStatus, blockSize, error);
        extra =
            "status=" + std::to_string(bitmapStatus) + ",block_size=" + std::to_string(blockSize);
    } else {
        return Usage("unknown operation: " + op);
    }
    if (rc != FS_OK) {
        std::printf("ERROR %s\n", error.c_str());
        FsPrintResult(std::to_string(rc), error, "");
        return 1;
    }
    FsPrintResult("0", "success", extra);
    return 0;
}
