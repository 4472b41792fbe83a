#include "Records.h"

#include <stdio.h>
#include <time.h>

namespace FusionComputeSDKCppBridge {

namespace {

constexpr uint64_t kGiB = 1ULL << 30;

bool Require(const json& j, const char* key, const char* what, std::string& value,
             std::string& why) {
    value = JStr(j, key);
    if (!value.empty()) return true;
    why = std::string("a ") + what + " in the answer has no '" + key + "'";
    return false;
}

bool RequireObject(const json& j, const char* what, std::string& why) {
    if (j.is_object()) return true;
    why = std::string("a ") + what + " in the answer is not an object";
    return false;
}

// A size in bytes: bytesKey when present, else a count of whole GiB. False when that count
// does not fit in 64 bits as bytes.
bool SizeInBytes(const json& j, const char* bytesKey, int64_t gib, int64_t& bytes) {
    if (JHas(j, bytesKey)) {
        bytes = JInt(j, bytesKey);
        return true;
    }
    return !__builtin_mul_overflow(gib, static_cast<int64_t>(kGiB), &bytes);
}

}  // namespace

bool ParseUtcTime(const std::string& text, int64_t& out) {
    struct tm t = {};
    int n = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
               &t.tm_hour, &t.tm_min, &t.tm_sec, &n) != 6 ||
        static_cast<size_t>(n) != text.size())
        return false;
    if (t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 60)
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    out = static_cast<int64_t>(timegm(&t));
    return true;
}

bool MapSite(const json& j, SDataCenterInfo& out, std::string& why) {
    out = SDataCenterInfo();
    if (!RequireObject(j, "site", why) || !Require(j, "urn", "site", out.strURN, why)) return false;
    out.strID = out.strURN;
    out.strName = JStr(j, "name");
    return true;
}

bool MapCluster(const json& j, SClusterInfo& out, std::string& why) {
    out = SClusterInfo();
    if (!RequireObject(j, "cluster", why) || !Require(j, "urn", "cluster", out.strURN, why))
        return false;
    out.strID = out.strURN;
    out.strName = JStr(j, "name");
    out.strFolderID = JStr(j, "parentObjUrn");
    return true;
}

bool MapHost(const json& j, SHostInfo& out, std::string& why) {
    out = SHostInfo();
    if (!RequireObject(j, "host", why) || !Require(j, "urn", "host", out.strURN, why)) return false;
    out.strID = out.strURN;
    out.strName = JStr(j, "name");
    out.strIPAddress = JStr(j, "ip");
    out.strClusterID = JStr(j, "clusterUrn");
    out.strClusterName = JStr(j, "clusterName");
    out.strStatus = JStr(j, "status");
    return true;
}

bool MapDatastore(const json& j, SDatastoreInfo& out, std::string& why) {
    out = SDatastoreInfo();
    if (!RequireObject(j, "datastore", why) || !Require(j, "urn", "datastore", out.strURN, why))
        return false;
    out.strID = out.strURN;
    out.strName = JStr(j, "name");
    out.strType = JStr(j, "storageType");
    // Exact byte counts when the service gives them, whole GiB otherwise.
    if (!SizeInBytes(j, "capacityBytes", JInt(j, "actualCapacityGB", JInt(j, "capacityGB")),
                     out.llCapacity) ||
        !SizeInBytes(j, "freeSizeBytes", JInt(j, "actualFreeSizeGB", JInt(j, "freeSizeGB")),
                     out.llFreeSpace)) {
        why = "datastore " + out.strURN + " has a size that does not fit in 64 bits";
        return false;
    }
    out.bThinSupported = JBool(j, "isThin", false);
    for (const auto& su : JArr(j, "storageUnits")) {
        const std::string lun = JStr(su, "sdName");
        if (!lun.empty()) out.vecLuns.push_back(lun);
    }
    return true;
}

bool MapFolder(const json& j, EInventoryType eType, SInventoryInfo& out, std::string& why) {
    out = SInventoryInfo();
    if (!RequireObject(j, "folder", why) || !Require(j, "urn", "folder", out.strID, why))
        return false;
    out.strName = JStr(j, "name");
    out.eType = eType;
    return true;
}

bool MapDisk(const json& j, const std::string& vmURN, SDisk& out, std::string& why) {
    out = SDisk();
    if (!RequireObject(j, "disk", why) || !Require(j, "volumeUrn", "disk", out.strName, why))
        return false;
    out.strURN = out.strName;
    out.strVMURN = vmURN;
    out.strGUID = JStr(j, "volumeUuid");
    out.strDisplayName = JStr(j, "diskName");
    out.strStorageVolumeName = JStr(j, "volNameOnDev");
    out.strDatastore = JStr(j, "datastoreUrn");
    int64_t bytes = 0;
    if (!SizeInBytes(j, "capacityBytes", JInt(j, "quantityGB"), bytes)) {
        why = "disk " + out.strName + " has a size that does not fit in 64 bits";
        return false;
    }
    if (bytes < 0) {
        why = "disk " + out.strName + " has a negative size";
        return false;
    }
    out.ullCapacity = static_cast<uint64_t>(bytes);
    out.llSize = bytes;
    out.strControllerType = JStr(j, "pciType");
    out.nUnitNumber = static_cast<int32_t>(JInt(j, "sequenceNum"));
    out.nSequenceNumber = out.nUnitNumber;
    out.bIsIndependent = JBool(j, "indepDisk", false);
    if (JBool(j, "isThin", false))
        out.nProvisioningType = 2;
    else
        out.nProvisioningType = JInt(j, "volType", 0) == 0 ? 3 : 1;
    out.strPath = JStr(j, "volumeUrl");
    return true;
}

bool MapNic(const json& j, SVMNetworkCard& out, std::string& why) {
    out = SVMNetworkCard();
    if (!RequireObject(j, "network card", why)) return false;
    out.strName = JStr(j, "name");
    out.strURN = JStr(j, "urn");
    out.strMACAddress = JStr(j, "mac");
    out.strNetworkID = JStr(j, "portGroupUrn");
    out.strNetworkName = JStr(j, "portGroupName");
    if (out.strName.empty() && out.strURN.empty()) {
        why = "a network card in the answer has neither 'name' nor 'urn'";
        return false;
    }
    return true;
}

bool MapVM(const json& j, bool bDisks, bool bNics, SVMInfo& out, std::string& why) {
    out = SVMInfo();
    if (!RequireObject(j, "VM", why) || !Require(j, "urn", "VM", out.strURN, why) ||
        !Require(j, "uuid", "VM", out.strGUID, why))
        return false;
    out.strName = JStr(j, "name");
    out.strDescription = JStr(j, "description");
    out.strStatus = JStr(j, "status");
    out.nPowerState = out.strStatus == "running" ? 1 : 0;
    out.bIsTemplate = JBool(j, "isTemplate", false);
    out.strHostName = JStr(j, "hostName");
    out.strHostID = JStr(j, "hostUrn");
    out.strClusterName = JStr(j, "clusterName");
    out.strClusterID = JStr(j, "clusterUrn");
    out.strFolderID = JStr(JObj(j, "params"), "parentObjUrn");
    out.strOSType = JStr(JObj(j, "osOptions"), "osType");
    const json& config = JObj(j, "vmConfig");
    out.nCPUCount = static_cast<int32_t>(JInt(JObj(config, "cpu"), "quantity"));
    out.ullMemoryMB = static_cast<uint64_t>(JInt(JObj(config, "memory"), "quantityMB"));
    if (bDisks) {
        for (const auto& d : JArr(config, "disks")) {
            SDisk disk;
            if (!MapDisk(d, out.strURN, disk, why)) return false;
            out.vecDisks.push_back(std::move(disk));
        }
    }
    if (bNics) {
        for (const auto& n : JArr(config, "nics")) {
            SVMNetworkCard nic;
            if (!MapNic(n, nic, why)) return false;
            out.vecNetworkCards.push_back(std::move(nic));
        }
    }
    return true;
}

bool MapSnapshot(const json& j, SSnapshot& out, std::string& why) {
    out = SSnapshot();
    if (!RequireObject(j, "snapshot", why) || !Require(j, "urn", "snapshot", out.strURN, why))
        return false;
    out.strID = out.strURN;
    out.strName = JStr(j, "name");
    out.strDescription = JStr(j, "description");
    if (JHas(j, "createTimeSecs")) {
        out.tCreateTime = JInt(j, "createTimeSecs");
    } else {
        const std::string t = JStr(j, "createTime");
        if (!ParseUtcTime(t, out.tCreateTime)) {
            why = "snapshot " + out.strURN + " has no readable creation time [" + t + "]";
            return false;
        }
    }
    for (const char* key : {"type", "status"}) {
        const std::string v = JStr(j, key);
        if (!v.empty()) out.vecProperties.push_back({key, v});
    }
    for (const auto& vs : JArr(j, "volsnapshots")) {
        std::string id = JStr(vs, "snapNameOnDev");
        if (id.empty()) id = JStr(vs, "snapUuid");
        if (!id.empty()) out.vecDiskIDs.push_back(id);
    }
    return true;
}

namespace {
bool Flatten(const json& nodes, const std::string& parent, int depth, std::vector<SSnapshot>& out,
             std::string& why) {
    if (depth > 64) {  // 32 snapshots per VM at most; a deeper tree is a broken answer
        why = "the snapshot tree in the answer is too deep";
        return false;
    }
    if (!nodes.is_array()) return true;
    for (const auto& n : nodes) {
        SSnapshot s;
        if (!MapSnapshot(n, s, why)) return false;
        s.strParentID = parent;
        const std::string id = s.strID;
        out.push_back(std::move(s));
        if (!Flatten(JArr(n, "childSnapshots"), id, depth + 1, out, why)) return false;
    }
    return true;
}
}  // namespace

bool MapSnapshotTree(const json& j, std::vector<SSnapshot>& out, std::string& why) {
    out.clear();
    if (!j.is_object()) {
        why = "the snapshot list in the answer is not an object";
        return false;
    }
    return Flatten(JArr(j, "rootSnapshots"), std::string(), 0, out, why);
}

}  // namespace FusionComputeSDKCppBridge
