// Inventory nodes built from record lists.
#include "VMInfoStructs.h"

namespace VMInfoStructs {

namespace {
template <typename TRecord>
void AppendNodes(const std::vector<TRecord>& in, std::vector<SInventoryInfo>& out,
                 EInventoryType type, std::string TRecord::*id) {
    out.reserve(out.size() + in.size());
    for (const TRecord& record : in) {
        SInventoryInfo node;
        node.strName = record.strName;
        node.strID = record.*id;
        node.eType = type;
        out.push_back(std::move(node));
    }
}
}  // namespace

void SInventoryInfo::FillInventoryInfoListFromVMInfoList(const std::vector<SVMInfo>& in,
                                                         std::vector<SInventoryInfo>& out) {
    AppendNodes(in, out, INVENTORY_TYPE_VM, &SVMInfo::strGUID);
}

void SInventoryInfo::FillInventoryInfoListFromHostInfoList(const std::vector<SHostInfo>& in,
                                                           std::vector<SInventoryInfo>& out) {
    AppendNodes(in, out, INVENTORY_TYPE_HOST, &SHostInfo::strID);
}

void SInventoryInfo::FillInventoryInfoListFromClusterInfoList(const std::vector<SClusterInfo>& in,
                                                              std::vector<SInventoryInfo>& out) {
    AppendNodes(in, out, INVENTORY_TYPE_CLUSTER, &SClusterInfo::strID);
}

void SInventoryInfo::FillInventoryInfoListFromDatastoreInfoList(
    const std::vector<SDatastoreInfo>& in, std::vector<SInventoryInfo>& out) {
    AppendNodes(in, out, INVENTORY_TYPE_DATASTORE, &SDatastoreInfo::strID);
}

void SInventoryInfo::FillInventoryInfoListFromDataCenterInfoList(
    const std::vector<SDataCenterInfo>& in, std::vector<SInventoryInfo>& out) {
    AppendNodes(in, out, INVENTORY_TYPE_DATACENTER, &SDataCenterInfo::strID);
}

}  // namespace VMInfoStructs
