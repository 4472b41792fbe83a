#include "FsToolCommon.h"

#include <unistd.h>

#include <cstdlib>

namespace fcsim {

bool FsToolStateDir(const char* tool, std::string& dir) {
    const char* env = std::getenv("FCSIM_STATE_DIR");
    if (env == nullptr || *env == '\0') {
        std::fprintf(stderr, "%s: FCSIM_STATE_DIR is not set\n", tool);
        return false;
    }
    dir = env;
    return true;
}

void FsPrintResult(const std::string& code, const std::string& desc, const std::string& extra) {
    std::string d = desc;
    for (char& c : d) {
        if (c == '"') c = '\'';
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::printf("ret_code=%s,ret_desc=\"%s\"%s%s\n", code.c_str(), d.c_str(),
                extra.empty() ? "" : ",", extra.c_str());
}

bool FsApplyFault(const SFsFault& fault, bool failExits, int& status) {
    if (fault.strAction == "exit") {
        std::fprintf(stderr, "injected exit status %d\n", fault.nValue);
        status = fault.nValue;
        return true;
    }
    if (fault.strAction == "empty") {
        status = 0;
        return true;
    }
    if (fault.strAction == "fail") {
        if (failExits) std::printf("ERROR %s\n", fault.strRetDesc.c_str());
        FsPrintResult(fault.strRetCode, fault.strRetDesc, "");
        status = failExits ? 1 : 0;
        return true;
    }
    if (fault.strAction == "garbage") {
        std::printf("%s\n", "this is not an answer,status=ready,block_size=big,vol_size=huge");
        status = 0;
        return true;
    }
    return false;
}

std::string FsCurrentDir() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

}  // namespace fcsim
