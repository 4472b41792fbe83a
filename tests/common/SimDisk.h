// A disk file in a simulator state folder and the disk-access lease its CNA server checks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SimState.h"

namespace fctest {

// Writes the disk file of diskID with this content; its path.
inline std::string WriteSimDisk(fcsim::CSimState& state, const std::string& diskID,
                                const std::vector<uint8_t>& content) {
    const std::string path = state.DiskPath(diskID);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    return path;
}

// Grants access to the disk file of diskID for ten minutes; false when the state refuses it.
inline bool LeaseSimDisk(fcsim::CSimState& state, const std::string& access,
                         const std::string& token, const std::string& diskID, bool writable) {
    fcsim::SLease lease;
    lease.strAccessID = access;
    lease.strToken = token;
    lease.strDiskID = diskID;
    lease.strPath = state.DiskPath(diskID);
    lease.bWritable = writable;
    lease.tExpires = fcsim::CSimState::Now() + 600;
    return state.PutLease(lease);
}

}  // namespace fctest
