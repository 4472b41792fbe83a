#include "JsonUtil.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace FusionComputeSDKCppBridge {

bool ParseJson(const std::string& text, json& out) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        out = json();
        return true;
    }
    out = json::parse(text, nullptr, false);
    if (out.is_discarded()) {
        out = json();
        return false;
    }
    return true;
}

namespace {
const json* Member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    if (it == j.end()) return nullptr;
    return &*it;
}
}  // namespace

bool JHas(const json& j, const char* key) {
    const json* m = Member(j, key);
    return m && !m->is_null();
}

std::string JStr(const json& j, const char* key) {
    const json* m = Member(j, key);
    if (!m) return std::string();
    if (m->is_string()) return m->get<std::string>();
    if (m->is_number_integer()) return std::to_string(m->get<int64_t>());
    if (m->is_number_unsigned()) return std::to_string(m->get<uint64_t>());
    if (m->is_number_float()) return m->dump();
    if (m->is_boolean()) return m->get<bool>() ? "true" : "false";
    return std::string();
}

int64_t JInt(const json& j, const char* key, int64_t def) {
    const json* m = Member(j, key);
    if (!m) return def;
    if (m->is_number_unsigned()) {
        const uint64_t v = m->get<uint64_t>();
        return v <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(v) : def;
    }
    if (m->is_number_integer()) return m->get<int64_t>();
    if (m->is_number_float()) {
        // Only a value inside the 64-bit range converts (2^63 itself is just outside).
        const double v = m->get<double>();
        return v >= -9223372036854775808.0 && v < 9223372036854775808.0 ? static_cast<int64_t>(v)
                                                                        : def;
    }
    if (m->is_string()) {
        const std::string s = m->get<std::string>();
        if (s.empty()) return def;
        errno = 0;
        char* end = nullptr;
        const long long v = strtoll(s.c_str(), &end, 10);
        if (errno != 0 || end == s.c_str() || *end != '\0') return def;
        return v;
    }
    return def;
}

bool JBool(const json& j, const char* key, bool def) {
    const json* m = Member(j, key);
    if (!m) return def;
    if (m->is_boolean()) return m->get<bool>();
    if (m->is_string()) {
        const std::string s = m->get<std::string>();
        if (strcasecmp(s.c_str(), "true") == 0) return true;
        if (strcasecmp(s.c_str(), "false") == 0) return false;
    }
    return def;
}

const json& JArr(const json& j, const char* key) {
    static const json empty = json::array();
    const json* m = Member(j, key);
    return m && m->is_array() ? *m : empty;
}

const json& JObj(const json& j, const char* key) {
    static const json empty = json::object();
    const json* m = Member(j, key);
    return m && m->is_object() ? *m : empty;
}

std::string UrnId(const std::string& urn) {
    const size_t p = urn.rfind(':');
    return p == std::string::npos ? urn : urn.substr(p + 1);
}

bool IsSafeSegment(const std::string& s) {
    if (s.empty() || s == "." || s == ".." || s.size() > 128) return false;
    for (unsigned char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

std::string UrnToUri(const std::string& urn) {
    if (urn.rfind("urn:", 0) != 0) return std::string();
    std::string uri = "/service";
    size_t start = 4;
    for (;;) {
        const size_t end = urn.find(':', start);
        const std::string seg = urn.substr(start, end == std::string::npos ? end : end - start);
        // Identifiers come from the service or the caller; neither may steer the request to
        // another path.
        if (!IsSafeSegment(seg)) return std::string();
        uri += "/" + seg;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return uri;
}

std::string UrlEncode(const std::string& value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace FusionComputeSDKCppBridge
