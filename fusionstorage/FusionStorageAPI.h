// The one entry point of the disk access service for FusionStorage volume work: learns the
// manager addresses from the block client's cluster information file, readies the command
// runner, forwards the volume operations, and turns the asynchronous build of a bitmap volume
// into one blocking call.
#pragma once

#include <cstdint>
#include <string>

#include "EvDebug.h"
#include "FusionStorageCLI.h"

class CFusionStorageAPI : public EvDebug {
public:
    CFusionStorageAPI();
    ~CFusionStorageAPI() override;
    CFusionStorageAPI(const CFusionStorageAPI&) = delete;
    CFusionStorageAPI& operator=(const CFusionStorageAPI&) = delete;

    // localIp: this proxy's address, handed to the management tool as its data-agent address.
    bool Initialize(const std::string& localIp);
    bool IsInitialized() const { return initialized; }
    bool LoadClusterInfo();

    bool CreateVolumeFromSnapshot(const std::string& volumeName, const std::string& snapshotName,
                                  uint64_t volumeSize);
    bool DeleteVolume(const std::string& volumeName);
    bool AttachVolume(const std::string& volumeName, std::string& devicePath);
    bool QueryVolume(const std::string& volumeName, uint64_t& volumeSize);
    bool DetatchVolume(const std::string& volumeName);
    bool QueryBitmapVolume(const std::string& volumeName, uint32_t& status, uint32_t& blockSize);

    // Creates the bitmap volume of the changes between the two snapshots (all data up to
    // snapshotTo when snapshotFrom is empty) and waits, through the clock seam, until it is
    // ready; blockSize is then the size one bitmap byte stands for, divided by 8.
    bool CreateBitmapVolume(const std::string& volumeName, const std::string& snapshotFrom,
                            const std::string& snapshotTo, uint32_t& blockSize);

    const std::string& GetManagerIps() const { return managerIps; }
    CFusionStorageCLI& GetCLI() { return cli; }

    // The block client's cluster information file. FC_FS_CLUSTER_INFO, when set and not empty,
    // names another file (a relocated installation, the simulator); SetClusterInfoFile
    // replaces both.
    static const char* const c_szClusterInfoFile;
    static const uint32_t c_nDefaultMaxQueryBitMapAttempts = 20;
    static const uint32_t c_nBitmapQueryPauseMs = 10000;
    void SetClusterInfoFile(const std::string& path) { strClusterInfoFile = path; }
    std::string GetClusterInfoFile() const;

private:
    CFusionStorageCLI cli;
    bool initialized = false;
    std::string localIp;
    std::string managerIps;
    std::string strClusterInfoFile;
};
