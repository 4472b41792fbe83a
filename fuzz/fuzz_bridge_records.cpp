// The management service's JSON answers as the bridge maps them to records. The input is one
// answer; it is given to every mapper, as an object and through the lists the inventory code
// walks (sites, clusters, hosts, datastores, VMs with their disks and cards, snapshots).
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "JsonUtil.h"
#include "Records.h"

namespace FusionComputeSDKCppBridge {
namespace {

void MapAll(const json& j) {
    std::string why;
    SDataCenterInfo site;
    SClusterInfo cluster;
    SHostInfo host;
    SDatastoreInfo datastore;
    SInventoryInfo folder;
    SVMInfo vm;
    SDisk disk;
    SVMNetworkCard nic;
    SSnapshot snapshot;
    std::vector<SSnapshot> tree;
    MapSite(j, site, why);
    MapCluster(j, cluster, why);
    MapHost(j, host, why);
    MapDatastore(j, datastore, why);
    MapFolder(j, INVENTORY_TYPE_FOLDER, folder, why);
    if (MapVM(j, true, true, vm, why))
        fuzz::Require(UrnToUri(vm.strURN).empty() || UrnToUri(vm.strURN).rfind("/service/", 0) == 0,
                      "a URI stays below /service");
    if (MapDisk(j, "urn:sites:1:vms:i-1", disk, why))
        fuzz::Require(disk.llSize >= 0, "no negative disk size");
    MapNic(j, nic, why);
    MapSnapshot(j, snapshot, why);
    MapSnapshotTree(j, tree, why);
    UrlEncode(JStr(j, "name"));
}

}  // namespace
}  // namespace FusionComputeSDKCppBridge

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace FusionComputeSDKCppBridge;
    json j;
    if (!ParseJson(std::string(reinterpret_cast<const char*>(data), size), j)) return 0;
    MapAll(j);
    for (const char* list : {"sites", "clusters", "hosts", "datastores", "vms", "snapshots"})
        for (const json& item : JArr(j, list)) MapAll(item);
    return 0;
}
