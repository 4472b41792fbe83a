// Our backup SDK: what the eleven entry points of NXFusionSphereSDK.h do.
//
// LAN: disk files move over the CNA disk-file protocol (SdkCnaClient).
// SAN: when every LUN identifier of the disk's datastore names an entry in the device folder
// (environment FC_SAN_DEVICE_DIR), the datastore's storage counts as attached to this
// machine, and the disk's target file is opened directly, bypassing the CNA, but only when it
// lies inside the device folder: the folder is what the SAN fabric presents to this machine,
// and nothing else on it is a disk the service may hand out. See README.md.
#include "NXFusionSphereSDK.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "SdkCnaClient.h"
#include "SdkEntryBodies.h"
#include "SdkLog.h"

namespace nxsdk {
namespace {

struct SInstance {
    bool bLan = true;
    std::mutex lock;  // one request at a time per instance
    CSdkCnaClient cna;
    std::string strToken;
    bool bConnected = false;
    std::map<uint32_t, int> mapSanFiles;  // SAN handle -> descriptor
    uint32_t nNextSanHandle = 1;
};

// A LUN identifier becomes a file name in the device folder: nothing that could leave it.
bool SafeLunName(const char* lun) {
    return lun && *lun && std::strcmp(lun, ".") != 0 && std::strcmp(lun, "..") != 0 &&
           std::strchr(lun, '/') == nullptr;
}

bool LunsAttached(const char** luns, bool logDetails) {
    const char* dir = std::getenv("FC_SAN_DEVICE_DIR");
    if (!dir || !*dir) {
        if (logDetails) LogDebug("No SAN device folder configured (FC_SAN_DEVICE_DIR)");
        return false;
    }
    if (!luns || !luns[0]) {
        if (logDetails) LogDebug("The datastore has no LUN identifiers");
        return false;
    }
    for (const char** p = luns; *p; ++p) {
        if (!SafeLunName(*p)) {
            LogError("LUN identifier [%s] is not a valid device name", *p ? *p : "");
            return false;
        }
        std::string path = std::string(dir) + "/" + *p;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            if (logDetails) LogDebug("LUN [%s] is not attached ([%s] missing)", *p, path.c_str());
            return false;
        }
        if (logDetails) LogTrace("LUN [%s] attached as [%s]", *p, path.c_str());
    }
    return true;
}

// The canonical form of path (every link resolved); false when it does not exist.
bool Canonical(const char* path, std::string& out) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) return false;
    out = resolved;
    return true;
}

bool Beneath(const std::string& path, const std::string& dir) {
    const std::string prefix = dir == "/" ? dir : dir + "/";
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

// Opens the target file of a SAN disk only inside the device folder, whatever path the
// service named: the path is resolved first, and the opened file's own path (as the kernel
// knows it) is checked again, so a link swapped in between the two cannot lead out. -1 when
// refused or not openable, with the reason logged.
int OpenInsideDeviceFolder(const char* targetFile, bool writable) {
    const char* dir = std::getenv("FC_SAN_DEVICE_DIR");
    std::string canonicalDir, canonicalTarget;
    if (!dir || !*dir || !Canonical(dir, canonicalDir)) {
        LogError("OpenDisk: the SAN device folder [%s] cannot be resolved", dir ? dir : "");
        return -1;
    }
    if (!Canonical(targetFile, canonicalTarget)) {
        LogError("OpenDisk: cannot open [%s] over SAN: %s", targetFile, std::strerror(errno));
        return -1;
    }
    if (!Beneath(canonicalTarget, canonicalDir)) {
        LogError("OpenDisk: [%s] (%s) lies outside the SAN device folder [%s]; refused", targetFile,
                 canonicalTarget.c_str(), canonicalDir.c_str());
        return -1;
    }
    const int fd = open(canonicalTarget.c_str(),
                        (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        LogError("OpenDisk: cannot open [%s] over SAN: %s", targetFile, std::strerror(errno));
        return -1;
    }
    char opened[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), opened, sizeof opened - 1);
    if (n <= 0 || !Beneath(std::string(opened, static_cast<size_t>(n)), canonicalDir)) {
        LogError(
            "OpenDisk: [%s] changed while it was opened and no longer lies inside the SAN "
            "device folder [%s]; refused",
            targetFile, canonicalDir.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

bool SanRead(int fd, uint64_t offset, uint64_t count, uint8_t* buffer) {
    for (uint64_t done = 0; done < count;) {
        ssize_t n = pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            LogError("SAN read of %llu bytes at %llu failed: %s",
                     static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>(offset), std::strerror(errno));
            return false;
        }
        if (n == 0) {
            LogError("SAN read of %llu bytes at %llu goes past the end of the disk",
                     static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>(offset));
            return false;
        }
        done += static_cast<uint64_t>(n);
    }
    return true;
}

bool SanWrite(int fd, uint64_t offset, uint64_t count, const uint8_t* buffer) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    // A disk never grows through a write.
    if (S_ISREG(st.st_mode) && (offset > static_cast<uint64_t>(st.st_size) ||
                                count > static_cast<uint64_t>(st.st_size) - offset)) {
        LogError("SAN write of %llu bytes at %llu goes past the end of the disk",
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(offset));
        return false;
    }
    for (uint64_t done = 0; done < count;) {
        ssize_t n = pwrite(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            LogError("SAN write of %llu bytes at %llu failed: %s",
                     static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>(offset), std::strerror(errno));
            return false;
        }
        done += static_cast<uint64_t>(n);
    }
    return true;
}

// The protocol carries 32-bit lengths; a larger count would be cut, so it is refused.
bool CountFits(uint64_t count) {
    if (count <= UINT32_MAX) return true;
    LogError("Transfer of %llu bytes is too large (at most %u per call)",
             static_cast<unsigned long long>(count), UINT32_MAX);
    return false;
}

}  // namespace
}  // namespace nxsdk

// The bodies of the entry points; the exported ones (SdkEntryPoints.cpp) call them.
namespace nxsdk {
namespace body {

void NXFusionSphereSDK_SetupLogging(NXFusionSphereSDK_LogFunc error1,
                                    NXFusionSphereSDK_LogFunc error2,
                                    NXFusionSphereSDK_LogFunc error3,
                                    NXFusionSphereSDK_LogFunc debug1,
                                    NXFusionSphereSDK_LogFunc debug2,
                                    NXFusionSphereSDK_LogFunc trace) {
    const NXFusionSphereSDK_LogFunc callbacks[6] = {error1, error2, error3, debug1, debug2, trace};
    nxsdk::SetLogCallbacks(callbacks);
}

void NXFusionSphereSDK_InitialSDK(int arg1, int arg2, int arg3) {
    nxsdk::LogDebug("Backup SDK initialised (%d, %d, %d)", arg1, arg2, arg3);
}

bool NXFusionSphereSDK_VerifyLUNAttached(const char** luns) {
    return nxsdk::LunsAttached(luns, true);
}

void* NXFusionSphereSDK_CreateInstance(int32_t lanTransport) {
    std::unique_ptr<SInstance> instance(new (std::nothrow) SInstance);
    if (!instance) {
        nxsdk::LogError("Out of memory creating a backup SDK instance");
        return nullptr;
    }
    instance->bLan = lanTransport != 0;
    nxsdk::LogDebug("Created %s instance %p", instance->bLan ? "LAN" : "SAN",
                    static_cast<void*>(instance.get()));
    return instance.release();
}

void NXFusionSphereSDK_DestroyInstance(void* instance) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p) return;
    for (auto& f : p->mapSanFiles) close(f.second);
    delete p;
}

bool NXFusionSphereSDK_ConnectCNA(void* instance, const char* cnaAddress, uint32_t cnaPort,
                                  const char* token, int32_t /*arg5*/, const char* /*arg6*/) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p || !cnaAddress || !token || cnaPort == 0 || cnaPort > 65535) {
        nxsdk::LogError("ConnectCNA: bad arguments");
        return false;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    p->strToken = token;
    // SAN moves no data through the CNA; the session only records who granted access.
    if (p->bLan && !p->cna.Connect(cnaAddress, static_cast<uint16_t>(cnaPort))) return false;
    p->bConnected = true;
    return true;
}

void NXFusionSphereSDK_DisConnectCNA(void* instance) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p) return;
    std::lock_guard<std::mutex> guard(p->lock);
    p->cna.Disconnect();
    p->bConnected = false;
}

bool NXFusionSphereSDK_OpenDisk(void* instance, const char** luns, const char* targetFile,
                                int32_t writable, uint32_t* outHandle, int32_t lanTransport) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p || !targetFile || !outHandle) {
        nxsdk::LogError("OpenDisk: bad arguments");
        return false;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    if ((lanTransport != 0) != p->bLan) {
        nxsdk::LogError("OpenDisk: transport %s does not match the instance's %s",
                        lanTransport ? "LAN" : "SAN", p->bLan ? "LAN" : "SAN");
        return false;
    }
    if (!p->bConnected) {
        nxsdk::LogError("OpenDisk: not connected to a CNA");
        return false;
    }
    if (p->bLan) return p->cna.Open(targetFile, p->strToken, writable != 0, *outHandle);

    if (!nxsdk::LunsAttached(luns, false)) {
        nxsdk::LogError("OpenDisk: the datastore's LUNs are not attached for SAN access");
        return false;
    }
    int fd = nxsdk::OpenInsideDeviceFolder(targetFile, writable != 0);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        nxsdk::LogError("OpenDisk: [%s] is not a disk file or device", targetFile);
        close(fd);
        return false;
    }
    uint32_t handle = p->nNextSanHandle++;
    p->mapSanFiles[handle] = fd;
    *outHandle = handle;
    nxsdk::LogDebug("Opened [%s] over SAN as handle %u", targetFile, handle);
    return true;
}

void NXFusionSphereSDK_CloseDisk(void* instance, uint32_t handle) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p) return;
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->bLan) {
        p->cna.Close(handle);
        return;
    }
    auto it = p->mapSanFiles.find(handle);
    if (it == p->mapSanFiles.end()) return;
    close(it->second);
    p->mapSanFiles.erase(it);
}

bool NXFusionSphereSDK_ReadDisk(void* instance, uint32_t handle, uint64_t offset, uint64_t count,
                                void* buffer, uint64_t* inOutCount) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p || (!buffer && count > 0) || !nxsdk::CountFits(count)) return false;
    std::lock_guard<std::mutex> guard(p->lock);
    bool ok;
    if (p->bLan) {
        ok = p->cna.Read(handle, offset, static_cast<uint32_t>(count), buffer);
    } else {
        auto it = p->mapSanFiles.find(handle);
        ok = it != p->mapSanFiles.end() &&
             nxsdk::SanRead(it->second, offset, count, static_cast<uint8_t*>(buffer));
    }
    if (ok && inOutCount) *inOutCount = count;
    return ok;
}

bool NXFusionSphereSDK_WriteDisk(void* instance, uint32_t handle, uint64_t offset, uint64_t count,
                                 const void* buffer, uint64_t* inOutCount) {
    SInstance* p = static_cast<SInstance*>(instance);
    if (!p || (!buffer && count > 0) || !nxsdk::CountFits(count)) return false;
    std::lock_guard<std::mutex> guard(p->lock);
    bool ok;
    if (p->bLan) {
        ok = p->cna.Write(handle, offset, static_cast<uint32_t>(count), buffer);
    } else {
        auto it = p->mapSanFiles.find(handle);
        ok = it != p->mapSanFiles.end() &&
             nxsdk::SanWrite(it->second, offset, count, static_cast<const uint8_t*>(buffer));
    }
    if (ok && inOutCount) *inOutCount = count;
    return ok;
}

}  // namespace body
}  // namespace nxsdk
