// fcplugin-probe: loads a plug-in library with dlopen, creates the plug-in object through its
// factory as the agent does, initialises it, prints what it got and deletes it.
//
//   fcplugin-probe PLUGIN.so [--url URL --user USER]
//
// With --url and --user the probe also connects (password from the FC_PASSWORD environment
// variable, so that it never shows in the process list) and looks the proxy's own VM up.
// Exit status: 0 when the object was created and initialised (and, when asked, connected).
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

#include "VMInfo.h"

namespace {

typedef int (*FactoryFunc)(VirtualServerInstanceType, IVMInfo**);

std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

int Usage() {
    fprintf(stderr,
            "usage: fcplugin-probe PLUGIN.so [--url URL --user USER]\n"
            "       the password of --user is read from FC_PASSWORD\n");
    return 2;
}

// Looks the proxy VM up when connected; otherwise says whether its identity was detected.
void ShowLocalVM(IVMInfo& info, CVMInfo* base, bool connected) {
    VMInfoStructs::SVMInfo vm;
    if (connected) {
        if (info.GetLocalVMInfo(vm, 0, 0) != 0)
            printf("local VM: [%s] GUID [%s] on host [%s]\n", vm.strName.c_str(),
                   vm.strGUID.c_str(), vm.strHostName.c_str());
        else if (base && base->GetLastVMError() != VMInfoStructs::VMINFO_ERR_NONE)
            printf("local VM: lookup failed: %s\n", base->GetLastVMErrorDetails().c_str());
        else
            printf("local VM GUID: none (this machine's BIOS is not a FusionCompute VM's)\n");
        return;
    }
    // Without a connection the lookup can only tell whether a GUID exists: with none it fails
    // at once without recording an error.
    if (base) base->SetLastVMError(VMInfoStructs::VMINFO_ERR_NONE);
    if (info.GetLocalVMInfo(vm, 0, 0) == 0 && base &&
        base->GetLastVMError() == VMInfoStructs::VMINFO_ERR_NONE)
        printf("local VM GUID: none (this machine's BIOS is not a FusionCompute VM's)\n");
    else
        printf("local VM GUID: detected; connect with --url and --user to show it\n");
}

}  // namespace

// Walks one view of the inventory as the agent's tree does, a level at a time, down to the VMs.
void ShowTree(IVMInfo& info, const std::string& path, const VMInfoStructs::SInventoryInfo& parent,
              int depth) {
    std::vector<VMInfoStructs::SInventoryInfo> children;
    int result = info.BrowseInventory(path, parent, children, 0, 0);
    if (result == 0 && children.empty()) return;
    for (const VMInfoStructs::SInventoryInfo& child : children) {
        printf("%*s%s [kind %d]\n", depth * 2, "", child.strName.c_str(),
               static_cast<int>(child.eType));
        if (child.eType == VMInfoStructs::INVENTORY_TYPE_VM || depth > 6) continue;
        // Below the site level the node to expand travels as the parent's first child.
        VMInfoStructs::SInventoryInfo chain = parent;
        VMInfoStructs::SInventoryInfo* last = &chain;
        while (!last->vecChildren.empty()) last = &last->vecChildren.front();
        if (depth >= 2) last->vecChildren.push_back(child);
        ShowTree(info, path + "\\" + child.strName, depth >= 2 ? chain : child, depth + 1);
    }
}

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string path = argv[1], url, user;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--url") == 0 && i + 1 < argc)
            url = argv[++i];
        else if (strcmp(argv[i], "--user") == 0 && i + 1 < argc)
            user = argv[++i];
        else
            return Usage();
    }
    if (url.empty() != user.empty()) return Usage();

    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    auto factory = reinterpret_cast<FactoryFunc>(dlsym(library, "CreateFusionComputeInfoObject"));
    if (!factory) {
        fprintf(stderr, "%s has no CreateFusionComputeInfoObject\n", path.c_str());
        dlclose(library);
        return 1;
    }

    int status = 0;
    IVMInfo* info = nullptr;
    int created = factory(VSINSTANCE_FUSIONCOMPUTE, &info);
    printf("factory: %d\n", created);
    if (created == 0 || info == nullptr) {
        fprintf(stderr, "the factory created no object\n");
        dlclose(library);
        return 1;
    }
    CVMInfo* base = dynamic_cast<CVMInfo*>(info);
    printf("class: %s\n", Demangle(typeid(*info).name()).c_str());
    if (base) printf("instance type: %d\n", static_cast<int>(base->GetInstanceType()));
    int initialised = info->Init(0);
    printf("Init: %d\n", initialised);
    if (initialised == 0) status = 1;

    bool connected = false;
    if (!url.empty()) {
        const char* password = getenv("FC_PASSWORD");
        connected = info->Connect(url, user, password ? password : "") != 0;
        printf("Connect: %d\n", connected ? 1 : 0);
        if (!connected) {
            if (base)
                printf("  error %d: %s\n", static_cast<int>(base->GetLastVMError()),
                       base->GetLastVMErrorDetails().c_str());
            status = 1;
        }
    }
    if (url.empty() || connected) ShowLocalVM(*info, base, connected);
    if (connected) ShowTree(*info, "VMs", VMInfoStructs::SInventoryInfo(), 1);

    delete info;
    printf("deleted\n");
    dlclose(library);
    return status;
}
