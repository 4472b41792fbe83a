// The management service's inventory: one JSON document holding the records of every kind
// ("clusters", "hosts", "datastores", "folders", "dvswitchs", "portgroups", "vms", "volumes",
// "snapshots", "tasks", "resources"), each keyed by its id, with the site's identity and the
// next free id. It is kept whole in <state>/inventory.json. Records are the simulator's own
// shape; CRender turns them into the API's objects.
//
// Not thread-safe: the service runs one handler at a time under its inventory lock.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fcsim {

using json = nlohmann::json;

class CSimState;

class CInventory {
public:
    explicit CInventory(const std::string& siteId);

    // Persistence. Load keeps the inventory as it is when the file does not exist (a new
    // state folder); Save clears the changed mark.
    bool Load(const CSimState& state, std::string& err);
    bool Save(const CSimState& state, std::string& err);
    void Reset(const std::string& siteId);  // an empty inventory of that site
    void Touch() { m_bDirty = true; }
    bool Dirty() const { return m_bDirty; }

    // Identifiers. A URN is the URI with "/service" replaced by "urn" and '/' by ':'.
    std::string Site() const;
    std::string SiteName() const;
    std::string SiteUrn() const { return "urn:sites:" + Site(); }
    std::string SiteUri() const { return "/service/sites/" + Site(); }
    std::string Urn(const std::string& kind, const std::string& id) const {
        return SiteUrn() + ":" + kind + ":" + id;
    }
    std::string Uri(const std::string& kind, const std::string& id) const {
        return SiteUri() + "/" + kind + "/" + id;
    }
    // The id from a URN of this site and kind ("urn:sites:S:vms:i-1" -> "i-1"), or "".
    std::string IdFromUrn(const std::string& urn, const std::string& kind) const;
    std::string NewId();
    std::string NewVmId();  // "i-" and 8 upper-case hex digits

    // Records. Obj throws the API error `code` ("The <what> does not exist.") when there is
    // none; Sorted orders by id, numerically.
    json* Find(const std::string& kind, const std::string& id);
    const json* Find(const std::string& kind, const std::string& id) const;
    json& Obj(const std::string& kind, const std::string& id, const std::string& code,
              const std::string& what);
    const json& Obj(const std::string& kind, const std::string& id, const std::string& code,
                    const std::string& what) const;
    std::vector<json*> Sorted(const std::string& kind);
    std::vector<const json*> Sorted(const std::string& kind) const;
    bool Any(const std::string& kind, const std::function<bool(const json&)>& pred) const;
    // Stores the record under its "id" (replacing one of that id) and returns the stored one.
    json& Create(const std::string& kind, const json& record);
    void Delete(const std::string& kind, const std::string& id);

    // Model queries and changes shared by the handlers.
    std::vector<json*> VolumesOf(const std::string& vmId);  // by sequence number
    std::vector<const json*> VolumesOf(const std::string& vmId) const;
    uint64_t DatastoreUsed(const std::string& dsId) const;
    bool MacInUse(const std::string& mac) const;
    // Attaches at seq (<= 0: the lowest free slot from 1).
    void AttachVolume(json& vm, json& vol, int seq, const std::string& pciType);
    void DetachVolume(json& vol);
    // A new NIC; an empty mac gets a generated one, seq < 0 the lowest free sequence number.
    json& AddNic(json& vm, const std::string& name, const std::string& pgId, const std::string& mac,
                 int seq);

private:
    json m_doc;
    bool m_bDirty = false;
};

}  // namespace fcsim
