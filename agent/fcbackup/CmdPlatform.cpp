// browse and vms: the platform's inventory as the plug-in shows it to the agent.
#include <sstream>

#include "Cli.h"

namespace fcbackup {

using namespace VMInfoStructs;

namespace {

const UINT64 kVmQueryFlags = 0x38;  // disks, networks and snapshots

const char* KindName(EInventoryType t) {
    switch (t) {
        case INVENTORY_TYPE_DATACENTER:
            return "site";
        case INVENTORY_TYPE_FOLDER:
            return "folder";
        case INVENTORY_TYPE_CLUSTER:
            return "cluster";
        case INVENTORY_TYPE_HOST:
            return "host";
        case INVENTORY_TYPE_RESOURCE_POOL:
            return "resource-pool";
        case INVENTORY_TYPE_DATASTORE:
            return "datastore";
        case INVENTORY_TYPE_VM:
            return "vm";
        case INVENTORY_TYPE_VM_FOLDER:
            return "vm-folder";
        case INVENTORY_TYPE_CLUSTER_FOLDER:
            return "cluster-folder";
        default:
            return "view";
    }
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '/' || c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// Walks the tree one level at a time: each level is listed under the node the previous level
// gave for the next name in the path.
bool Browse(fcagent::CPluginHost& host, const std::string& strPath,
            std::vector<SInventoryInfo>& out, std::string& strError) {
    const std::vector<std::string> parts = SplitPath(strPath);
    SInventoryInfo parent;
    out.clear();
    if (host.Plugin().BrowseInventory("\\", parent, out, 0, 0) != 1) {
        strError = host.LastError("cannot browse the inventory");
        return false;
    }
    std::string path;
    for (size_t i = 0; i < parts.size(); ++i) {
        const SInventoryInfo* found = nullptr;
        for (const SInventoryInfo& node : out)
            if (node.strName == parts[i] || (!node.strID.empty() && node.strID == parts[i]))
                found = &node;
        if (!found) {
            std::string shown = "/";
            for (size_t k = 0; k < i; ++k) shown += parts[k] + "/";
            strError = "nothing named " + parts[i] + " in " + shown;
            return false;
        }
        parent = *found;
        path += (i ? "\\" : "") + parts[i];
        std::vector<SInventoryInfo> next;
        if (host.Plugin().BrowseInventory(path, parent, next, 0, 0) != 1) {
            strError = host.LastError("cannot browse " + strPath);
            return false;
        }
        out.swap(next);
    }
    return true;
}

struct SBrowseOptions {
    SCommon common;
    SConnectOptions conn;
    std::string strPath;
};

int RunBrowse(const SBrowseOptions& o) {
    std::unique_ptr<fcagent::CPluginHost> host;
    std::string err;
    std::vector<SInventoryInfo> nodes;
    if (!ConnectPlatform(o.conn, host, err) || !Browse(*host, o.strPath, nodes, err))
        return Failed(o.common, err);
    nlohmann::json j = nlohmann::json::array();
    std::ostringstream text;
    for (const SInventoryInfo& n : nodes) {
        j.push_back({{"name", n.strName}, {"id", n.strID}, {"kind", KindName(n.eType)}});
        text << KindName(n.eType) << "\t" << n.strName;
        if (!n.strID.empty()) text << "\t" << n.strID;
        text << "\n";
    }
    if (nodes.empty()) text << "(empty)\n";
    return Done(o.common, {{"path", o.strPath}, {"children", j}}, text.str());
}

struct SVmsOptions {
    SCommon common;
    SConnectOptions conn;
};

int RunVms(const SVmsOptions& o) {
    std::unique_ptr<fcagent::CPluginHost> host;
    std::string err;
    if (!ConnectPlatform(o.conn, host, err)) return Failed(o.common, err);
    std::vector<SVMInfo> vms;
    if (host->Plugin().GetVMInfoList(vms, kVmQueryFlags, 0, nullptr, FILTER_TYPE_NONE) != 1)
        return Failed(o.common, host->LastError("cannot list the VMs"));
    nlohmann::json j = nlohmann::json::array();
    std::ostringstream text;
    for (const SVMInfo& vm : vms) {
        nlohmann::json disks = nlohmann::json::array();
        text << vm.strName << "\t" << vm.strGUID << "\thost " << vm.strHostName
             << (vm.bIsTemplate ? "\ttemplate" : "") << "\n";
        for (const SDisk& d : vm.vecDisks) {
            disks.push_back(
                {{"name", d.strName}, {"capacity", d.ullCapacity}, {"datastore", d.strDatastore}});
            text << "  disk " << d.strName << "\t" << FormatBytes(d.ullCapacity) << "\t"
                 << d.strDatastore << "\n";
        }
        j.push_back({{"name", vm.strName},
                     {"guid", vm.strGUID},
                     {"host", vm.strHostName},
                     {"template", vm.bIsTemplate},
                     {"disks", disks}});
    }
    return Done(o.common, {{"vms", j}}, text.str());
}

}  // namespace

void AddPlatformCommands(CLI::App& app, FRun& run) {
    auto browse = std::make_shared<SBrowseOptions>();
    CLI::App* b = app.add_subcommand("browse", "List one level of the inventory tree");
    b->add_option("path", browse->strPath, "Path below the views, e.g. VMs/site/folder");
    AddConnect(*b, browse->conn);
    AddCommon(*b, browse->common);
    b->callback([browse, &run] { run = [browse] { return RunBrowse(*browse); }; });

    auto vms = std::make_shared<SVmsOptions>();
    CLI::App* v = app.add_subcommand("vms", "List the VMs with their disks");
    AddConnect(*v, vms->conn);
    AddCommon(*v, vms->common);
    v->callback([vms, &run] { run = [vms] { return RunVms(*vms); }; });
}

}  // namespace fcbackup
