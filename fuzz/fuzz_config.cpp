// The agent's configuration file as NXPlatformInfo reads it: the input is the whole file. It
// lives in memory (a memfd named through /proc/self/fd) and is read back for every key the
// plug-in asks for, plus a client's host name.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "FuzzCommon.h"
#include "NxPlatformInfo.h"

namespace {
int g_fd = -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietLogs();
    g_fd = ::memfd_create("fcbackup-fuzz-config", MFD_CLOEXEC);
    fuzz::Require(g_fd >= 0, "memfd");
    setenv("FC_CONFIG_FILE", ("/proc/self/fd/" + std::to_string(g_fd)).c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Require(::ftruncate(g_fd, 0) == 0, "truncate");
    fuzz::Require(::pwrite(g_fd, data, size, 0) == static_cast<ssize_t>(size), "write");
    for (const char* key : {"DiskIORetries", "DiskIORetryDelay", "IgnoreUnsupportedDisks",
                            "nMaxQueryBitMapAttempts", "SnapshotTimeout"}) {
        uint64_t number = 7;
        if (!NXPlatformInfo::getNumber(NXPI_SECTION_VIRTUAL_SERVER, key, number))
            fuzz::Require(number == 7, "a refused number leaves the default");
        std::string text;
        NXPlatformInfo::getString(NXPI_SECTION_VIRTUAL_SERVER, key, text);
    }
    NXPlatformInfo::getClientHostName("client-1");
    return 0;
}
