// Loader of the backup SDK and the string lists handed to it.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "FusionComputeDiskInfo.h"
#include "NxPlatformInfo.h"
#include "WzFile.h"

#define FCDI_DEFINE_SDK_POINTER(name, result, params) name##_Fn name##_Ptr = nullptr;
NXFUSIONSPHERESDK_ENTRY_POINTS(FCDI_DEFINE_SDK_POINTER)
#undef FCDI_DEFINE_SDK_POINTER

namespace {
// The load succeeds only when every listed entry point resolves; counted from the list itself
// so that an entry point added there cannot be forgotten here.
#define FCDI_COUNT_SDK_POINTER(name, result, params) +1
constexpr int kSdkEntryPointCount = 0 NXFUSIONSPHERESDK_ENTRY_POINTS(FCDI_COUNT_SDK_POINTER);
#undef FCDI_COUNT_SDK_POINTER
}  // namespace

CFusionSphereDiskInfoStringArray::CFusionSphereDiskInfoStringArray(
    const std::vector<std::string>& strings)
    : pArray(static_cast<const char**>(std::calloc(strings.size() + 1, sizeof(const char*)))) {
    if (!pArray) return;
    for (size_t i = 0; i < strings.size(); ++i) pArray[i] = strings[i].c_str();
}

CFusionSphereDiskInfoStringArray::~CFusionSphereDiskInfoStringArray() {
    std::free(pArray);
    pArray = nullptr;
}

int CFusionComputeDiskInfo::_LoadOneFunc(void* library, void* slot, const char* symbol) {
    void* address = dlsym(library, symbol);
    // The slot is a function pointer; copy the bits rather than alias it through void*.
    std::memcpy(slot, &address, sizeof(address));
    if (address) return 1;
    log.Error("int CFusionComputeDiskInfo::_LoadOneFunc(void*, void*, const char*)",
              "Failed to load %s Error=%x", symbol, static_cast<unsigned>(errno));
    return 0;
}

void CFusionComputeDiskInfo::PrepareRequiredLibrary(const std::string& directory,
                                                    const std::string& requiredName,
                                                    const std::vector<std::string>& candidates) {
    static const char* kTag =
        "void CFusionComputeDiskInfo::PrepareRequiredLibrary(const std::string&, const "
        "std::string&, const std::vector<std::string>&)";
    std::string target = CWzPath::Append(directory, requiredName);
    if (CWzPath::Exists(target)) return;
    std::string chosen;
    for (const std::string& candidate : candidates) {
        std::string path = CWzPath::Append(directory, candidate);
        if (CWzPath::Exists(path)) {
            chosen = path;
            break;
        }
    }
    if (chosen.empty()) {
        log.Debug(kTag, "target library [%s] does not exist", target.c_str());
        return;
    }
    log.Debug(kTag, "library [%s] does not exist, linking from [%s]", target.c_str(),
              chosen.c_str());
    if (symlink(chosen.c_str(), target.c_str()) != 0)
        log.Error(kTag, "failed to link [%s] to [%s], %d", chosen.c_str(), target.c_str(), errno);
}

bool CFusionComputeDiskInfo::ImportSDK() {
    static const char* kTag = "bool CFusionComputeDiskInfo::ImportSDK()";
    std::string home;
    if (!NXPI_PlatformBase::getBaseHomeDirectory(home)) {
        log.Error(kTag, "Failed to get base home directory.");
        return false;
    }
    PrepareRequiredLibrary(strSystemLibDirectory, "libssl.so.1.0.0",
                           {"libssl.so.1.0.1e", "libssl.so.1.0.2k"});
    PrepareRequiredLibrary(strSystemLibDirectory, "libcrypto.so.1.0.0",
                           {"libcrypto.so.1.0.1e", "libcrypto.so.1.0.2k"});

    std::string path = home;
    FXPath::Append(path, NXFUSIONSPHERESDK_LIBRARY_NAME);
    // The handle is dropped on purpose: the library stays loaded for the life of the process.
    void* library = dlopen(path.c_str(), RTLD_LAZY);
    if (!library) {
        int err = errno;
        log.Error(kTag, "Failed to load [%s], %d", path.c_str(), err);
        log.Debug(kTag, "%s", dlerror());
        return false;
    }
    int resolved = 0;
    try {
#define FCDI_LOAD_SDK_POINTER(name, result, params) \
    resolved += _LoadOneFunc(library, reinterpret_cast<void*>(&name##_Ptr), #name);
        NXFUSIONSPHERESDK_ENTRY_POINTS(FCDI_LOAD_SDK_POINTER)
#undef FCDI_LOAD_SDK_POINTER
    } catch (...) {
        log.Error(kTag, "Error while dynamically loading vixDiskLib");
        return false;
    }
    return resolved == kSdkEntryPointCount;
}
