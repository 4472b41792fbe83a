// Stand-in for FusionStorage's block client on the proxy:
//   vbs_cli -help
//   vbs_cli -c attach|detach|deletevolume|queryvolume -v <volume>
// Answers with one key=value line (ret_code, ret_desc, and dev_addr or vol_size) and exit
// status 0; a wrong command line exits 2. The state folder comes from FCSIM_STATE_DIR.
#include <cstdio>
#include <string>
#include <vector>

#include "FsFaults.h"
#include "FsToolCommon.h"
#include "FsVolumeStore.h"

using namespace fcsim;

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: vbs_cli -c attach|detach|deletevolume|queryvolume -v <volume>\n"
                 "       vbs_cli -help\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string state;
    if (!FsToolStateDir("vbs_cli", state)) return 1;
    CFsVolumeStore store(state);
    store.LogCall("vbs_cli", FsCurrentDir(), "", args);

    std::string command;
    std::string volume;
    bool help = false;
    bool haveVolume = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-help" || args[i] == "--help") {
            help = true;
        } else if (args[i] == "-c" && i + 1 < args.size()) {
            command = args[++i];
        } else if (args[i] == "-v" && i + 1 < args.size()) {
            volume = args[++i];
            haveVolume = true;
        } else {
            return Usage();
        }
    }
    if (!help && (command.empty() || !haveVolume)) return Usage();

    const std::string operation = help ? "help" : command;
    CFsFaults faults(state);
    SFsFault fault;
    int status = 0;
    if (faults.Take(operation, fault) && FsApplyFault(fault, false, status)) return status;

    if (help) {
        std::printf(
            "vbs_cli (simulator) commands:\n"
            "  -c attach -v <volume>        attach a volume to this host\n"
            "  -c detach -v <volume>        detach it\n"
            "  -c deletevolume -v <volume>  delete a volume\n"
            "  -c queryvolume -v <volume>   show a volume's size\n");
        return 0;
    }

    std::string error;
    std::string extra;
    int rc = FS_OK;
    if (command == "attach") {
        std::string device;
        rc = store.Attach(volume, device, error);
        extra = "dev_addr=" + device;
    } else if (command == "detach") {
        rc = store.Detach(volume, error);
    } else if (command == "deletevolume") {
        rc = store.Delete(volume, error);
    } else if (command == "queryvolume") {
        uint64_t size = 0;
        rc = store.Query(volume, size, error);
        extra = "vol_size=" + std::to_string(size);
    } else {
        return Usage();
    }
    if (rc != FS_OK) {
        FsPrintResult(std::to_string(rc), error, "");
    } else {
        FsPrintResult("0", "success", extra);
    }
    return 0;
}
