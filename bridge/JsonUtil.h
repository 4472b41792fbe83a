// Tolerant readers over nlohmann::json. The service writes numbers and booleans sometimes as
// strings, and unknown or missing fields must never throw; every reader here is total.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace FusionComputeSDKCppBridge {

using json = nlohmann::json;

// False (and out discarded) when the text is not JSON. An empty text parses as null.
bool ParseJson(const std::string& text, json& out);

// The member as text: strings as they are, numbers and booleans rendered; otherwise empty.
std::string JStr(const json& j, const char* key);
bool JHas(const json& j, const char* key);
// Integers from numbers or decimal strings; def when absent, unreadable or outside 64 bits.
int64_t JInt(const json& j, const char* key, int64_t def = 0);
// Booleans from true/false or "true"/"false" (any case); def otherwise.
bool JBool(const json& j, const char* key, bool def = false);
// The member when it is an array, else an empty array.
const json& JArr(const json& j, const char* key);
// The member when it is an object, else an empty object.
const json& JObj(const json& j, const char* key);

// The last ':'-separated segment of a URN (the object's short id).
std::string UrnId(const std::string& urn);
// An id that may stand as one path segment: letters, digits, '-', '_', '.', not "." or "..".
bool IsSafeSegment(const std::string& s);
// "urn:sites:1:vms:i-1" -> "/service/sites/1/vms/i-1"; empty when the URN is malformed or
// has a segment that is not safe.
std::string UrnToUri(const std::string& urn);

// Percent-encodes a query or path value.
std::string UrlEncode(const std::string& value);

}  // namespace FusionComputeSDKCppBridge
