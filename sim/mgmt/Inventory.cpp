#include "Inventory.h"

#include <algorithm>
#include <cstdio>

#include "ApiError.h"
#include "MgmtText.h"
#include "SimState.h"

namespace fcsim {

namespace {

const char* const kKinds[] = {"clusters",  "hosts",      "datastores", "folders",
                              "dvswitchs", "portgroups", "vms",        "volumes",
                              "snapshots", "tasks",      "resources"};

bool IdLess(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

template <typename P>
void SortById(std::vector<P>& records) {
    std::sort(records.begin(), records.end(), [](P a, P b) {
        return IdLess((*a)["id"].template get<std::string>(),
                      (*b)["id"].template get<std::string>());
    });
}

template <typename P>
void SortBySlot(std::vector<P>& volumes) {
    std::sort(volumes.begin(), volumes.end(), [](P a, P b) {
        return (*a)["seq"].template get<int>() < (*b)["seq"].template get<int>();
    });
}

}  // namespace

CInventory::CInventory(const std::string& siteId) {
    Reset(siteId);
    m_bDirty = false;
}

void CInventory::Reset(const std::string& siteId) {
    m_doc = json::object();
    m_doc["siteId"] = siteId;
    m_doc["siteName"] = "site-demo";
    m_doc["nextId"] = 1;
    for (const char* k : kKinds) m_doc[k] = json::object();
    Touch();
}

bool CInventory::Load(const CSimState& state, std::string& err) {
    std::string text;
    std::string path = state.Root() + "/inventory.json";
    {
        CSimState::CLock lock(state, false);
        if (!CSimState::ReadFile(path, text)) return true;  // a new state folder
    }
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("siteId") ||
        !doc["siteId"].is_string()) {
        err = path + " is not a valid inventory";
        return false;
    }
    for (const char* k : kKinds) {
        if (!doc.contains(k)) doc[k] = json::object();
        if (!doc[k].is_object()) {
            err = path + ": \"" + k + "\" is not an object";
            return false;
        }
    }
    if (!doc.contains("nextId") || !doc["nextId"].is_number_unsigned()) doc["nextId"] = 1000;
    m_doc = std::move(doc);
    return true;
}

bool CInventory::Save(const CSimState& state, std::string& err) {
    CSimState::CLock lock(state);
    if (!CSimState::WriteFileAtomic(state.Root() + "/inventory.json", m_doc.dump(1))) {
        err = "cannot write the inventory";
        return false;
    }
    m_bDirty = false;
    return true;
}

std::string CInventory::Site() const {
    return m_doc.value("siteId", std::string("0"));
}

std::string CInventory::SiteName() const {
    return m_doc.value("siteName", std::string());
}

std::string CInventory::IdFromUrn(const std::string& urn, const std::string& kind) const {
    std::string prefix = SiteUrn() + ":" + kind + ":";
    if (urn.compare(0, prefix.size(), prefix) != 0) return "";
    std::string id = urn.substr(prefix.size());
    return id.find(':') == std::string::npos ? id : "";
}

std::string CInventory::NewId() {
    uint64_t n = m_doc["nextId"].get<uint64_t>();
    m_doc["nextId"] = n + 1;
    Touch();
    return std::to_string(n);
}

std::string CInventory::NewVmId() {
    char buf[16];
    std::snprintf(buf, sizeof buf, "i-%08llX",
                  static_cast<unsigned long long>(std::stoull(NewId()) & 0xffffffffull));
    return buf;
}

const json* CInventory::Find(const std::string& kind, const std::string& id) const {
    auto coll = m_doc.find(kind);
    if (coll == m_doc.end()) return nullptr;
    auto it = coll->find(id);
    return it == coll->end() ? nullptr : &*it;
}

json* CInventory::Find(const std::string& kind, const std::string& id) {
    return const_cast<json*>(static_cast<const CInventory*>(this)->Find(kind, id));
}

const json& CInventory::Obj(const std::string& kind, const std::string& id, const std::string& code,
                            const std::string& what) const {
    const json* p = id.empty() ? nullptr : Find(kind, id);
    if (!p) Fail(code, "The " + what + " does not exist.");
    return *p;
}

json& CInventory::Obj(const std::string& kind, const std::string& id, const std::string& code,
                      const std::string& what) {
    return const_cast<json&>(static_cast<const CInventory*>(this)->Obj(kind, id, code, what));
}

std::vector<const json*> CInventory::Sorted(const std::string& kind) const {
    std::vector<const json*> out;
    for (const auto& v : m_doc.at(kind)) out.push_back(&v);
    SortById(out);
    return out;
}

std::vector<json*> CInventory::Sorted(const std::string& kind) {
    std::vector<json*> out;
    for (auto& v : m_doc.at(kind)) out.push_back(&v);
    SortById(out);
    return out;
}

bool CInventory::Any(const std::string& kind, const std::function<bool(const json&)>& pred) const {
    for (const auto& v : m_doc.at(kind))
        if (pred(v)) return true;
    return false;
}

json& CInventory::Create(const std::string& kind, const json& record) {
    const std::string id = record.at("id").get<std::string>();
    json& coll = m_doc.at(kind);
    coll[id] = record;
    Touch();
    return coll[id];
}

void CInventory::Delete(const std::string& kind, const std::string& id) {
    m_doc.at(kind).erase(id);
    Touch();
}

std::vector<const json*> CInventory::VolumesOf(const std::string& vmId) const {
    std::vector<const json*> out;
    for (const auto& v : m_doc.at("volumes"))
        if (v.value("vmId", "") == vmId) out.push_back(&v);
    SortBySlot(out);
    return out;
}

std::vector<json*> CInventory::VolumesOf(const std::string& vmId) {
    std::vector<json*> out;
    for (auto& v : m_doc.at("volumes"))
        if (v.value("vmId", "") == vmId) out.push_back(&v);
    SortBySlot(out);
    return out;
}

uint64_t CInventory::DatastoreUsed(const std::string& dsId) const {
    uint64_t used = 0;
    for (const auto& v : m_doc.at("volumes")) {
        if (v["dsId"] == dsId) used += v["capacity"].get<uint64_t>();
    }
    return used;
}

bool CInventory::MacInUse(const std::string& mac) const {
    return Any("vms", [&](const json& vm) {
        for (const auto& n : vm["nics"])
            if (n["mac"] == mac) return true;
        return false;
    });
}

void CInventory::AttachVolume(json& vm, json& vol, int seq, const std::string& pciType) {
    if (!vol.value("vmId", "").empty()) Fail("10300074", "The volume is attached already.");
    std::vector<json*> vols = VolumesOf(vm["id"]);
    auto used = [&](int s) {
        return std::any_of(vols.begin(), vols.end(),
                           [&](const json* v) { return (*v)["seq"].get<int>() == s; });
    };
    if (seq <= 0) {
        seq = 1;
        while (used(seq)) ++seq;
    } else if (used(seq)) {
        Fail("10300070", "The disk slot is in use.");
    }
    if (seq > 60) Fail("10300070", "No disk slot is free.");
    vol["vmId"] = vm["id"];
    vol["seq"] = seq;
    vol["pciType"] = pciType.empty() ? "VIRTIO" : pciType;
    Touch();
}

void CInventory::DetachVolume(json& vol) {
    vol["vmId"] = "";
    vol["seq"] = 0;
    Touch();
}

json& CInventory::AddNic(json& vm, const std::string& name, const std::string& pgId,
                         const std::string& mac, int seq) {
    json& nics = vm["nics"];
    if (nics.size() >= 16) Fail("10300012", "The VM has the most NICs it can have.");
    std::string m = mac;
    if (m.empty()) {
        std::string h = RandomHex(3);
        m = "28:6e:d4:" + h.substr(0, 2) + ":" + h.substr(2, 2) + ":" + h.substr(4, 2);
    }
    if (MacInUse(m)) Fail("10300045", "The MAC address is in use.");
    if (seq < 0) {
        seq = 0;
        bool bUsed = true;
        while (bUsed) {
            bUsed = false;
            for (auto& n : nics) bUsed = bUsed || n["seq"].get<int>() == seq;
            if (bUsed) ++seq;
        }
    }
    int nextId = vm.value("nextNicId", 1);
    vm["nextNicId"] = nextId + 1;
    json nic = {{"id", std::to_string(nextId)},
                {"name", name.empty() ? "nic" + std::to_string(nextId) : name},
                {"seq", seq},
                {"mac", m},
                {"pgId", pgId}};
    nics.push_back(nic);
    Touch();
    return nics.back();
}

}  // namespace fcsim
