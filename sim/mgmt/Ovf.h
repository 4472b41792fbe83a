// The OVF descriptor of a VM: written from the VM object the service renders, and read back
// when a VM is created from a descriptor. The reader is a small, bounded XML parser of its own
// (depth and size limits), since descriptors come from outside.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fcsim {

struct SOvfDisk {
    std::string strDiskID;
    std::string strHref;  // the source disk's uuid
    uint64_t ullCapacity = 0;
    int nSequenceNum = 0;
    std::string strPciType = "VIRTIO";
};

struct SOvfNic {
    std::string strName;
    std::string strMac;
    std::string strConnection;  // port-group URN
    int nSequenceNum = -1;
};

struct SOvfVm {
    std::string strName;
    int64_t llCpu = 1;
    int64_t llMemMB = 1024;
    std::string strOsType = "Linux";
    int64_t llOsVersion = 301;
    std::vector<SOvfDisk> vecDisks;
    std::vector<SOvfNic> vecNics;
};

// vm: the full VM object of the REST API (detail 2).
std::string BuildOvf(const nlohmann::json& vm);
bool ParseOvf(const std::string& text, SOvfVm& out, std::string& err);

}  // namespace fcsim
