// Reading requests: query parameters, body fields, pages of lists.
#include <cerrno>
#include <cstdlib>

#include "MgmtInternal.h"

namespace fcsim {

std::string SReq::Query(const std::string& name) const {
    return pRaw && pRaw->has_param(name.c_str()) ? pRaw->get_param_value(name.c_str()) : "";
}

bool SReq::HasQuery(const std::string& name) const {
    return pRaw && pRaw->has_param(name.c_str());
}

std::vector<std::string> SReq::QueryAll(const std::string& name) const {
    std::vector<std::string> out;
    if (!pRaw) return out;
    auto range = pRaw->params.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    return out;
}

bool BodyHas(const json& body, const char* key) {
    if (!body.is_object() || !body.contains(key)) return false;
    const json& v = body[key];
    return !v.is_null() && !(v.is_string() && v.get<std::string>().empty());
}

std::string BodyStr(const json& body, const char* key, const std::string& def) {
    if (!BodyHas(body, key)) return def;
    const json& v = body[key];
    if (!v.is_string()) Fail("10000001", std::string("Field ") + key + " must be a string.");
    return v.get<std::string>();
}

bool BodyBool(const json& body, const char* key, bool def) {
    if (!BodyHas(body, key)) return def;
    const json& v = body[key];
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s == "true") return true;
        if (s == "false") return false;
    }
    Fail("10000001", std::string("Field ") + key + " must be true or false.");
}

int64_t BodyInt(const json& body, const char* key, int64_t def) {
    if (!BodyHas(body, key)) return def;
    const json& v = body[key];
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        errno = 0;
        long long n = std::strtoll(s.c_str(), &end, 10);
        if (errno == 0 && end && *end == '\0') return n;
    }
    Fail("10000001", std::string("Field ") + key + " must be an integer.");
}

json Page(const std::vector<json>& items, const SReq& r, const char* key) {
    auto num = [&](const char* name, int64_t def, const char* code) -> int64_t {
        if (!r.HasQuery(name) || r.Query(name).empty()) return def;
        const std::string s = r.Query(name);
        char* end = nullptr;
        errno = 0;
        long long n = std::strtoll(s.c_str(), &end, 10);
        if (errno != 0 || !end || *end != '\0') Fail(code, std::string("Bad ") + name + ".");
        return n;
    };
    int64_t limit = num("limit", 100, "10000013");
    int64_t offset = num("offset", 0, "10000016");
    if (limit < 1 || limit > 100) Fail("10000013", "The limit must be 1 to 100.");
    if (offset < 0) Fail("10000016", "The offset must not be negative.");
    json page = json::array();
    for (size_t i = static_cast<size_t>(offset);
         i < items.size() && page.size() < static_cast<size_t>(limit); ++i) {
        page.push_back(items[i]);
    }
    return {{"total", items.size()}, {key, page}};
}

}  // namespace fcsim
