// Inventory records as the API's objects (docs/management-api.md, sections 4 to 7).
#pragma once

#include <nlohmann/json.hpp>

#include "Inventory.h"

namespace fcsim {

class CSimState;

class CRender {
public:
    CRender(const CInventory& inventory, const CSimState& state)
        : m_inv(inventory), m_state(state) {}

    json Site() const;
    json Cluster(const json& c) const;
    json Host(const json& h) const;
    json Datastore(const json& d) const;
    json Folder(const json& f) const;
    json PortGroup(const json& p) const;
    // detail 0: identity and state only; 1: without disks; 2: everything.
    json Vm(const json& vm, int detail) const;
    json Disk(const json& vol) const;
    json Volume(const json& vol) const;
    json Nic(const json& vm, const json& nic) const;
    json SnapshotBrief(const json& s) const;
    json Snapshot(const json& s) const;

private:
    const CInventory& m_inv;
    const CSimState& m_state;
};

}  // namespace fcsim
