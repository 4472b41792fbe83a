// Key=value text: the one format of the simulator's small records (leases, FusionStorage
// snapshots, volume records and settings) and of its fault rules written as text.
//
// A record holds one pair a line, "key=value": the key runs to the first '=', the value is the
// rest of the line (it may hold '=' and blanks, never a line break). A line without '=' names
// nothing (a torn last line of a crashed writer) and is skipped; of a repeated key the last
// line counts.
//
// A rule is one line of blank-separated items "key=value". A value that holds a blank, a tab,
// a double quote or a backslash, or is empty, is written in double quotes, inside which \" and
// \\ stand for the quote and the backslash. An item without '=', an empty key, a key given
// twice and an unterminated quote are errors.
//
// Numbers in both are decimal: digits only, no sign, no blanks, no overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fcsim {

// A decimal number of at most 64 bits, as above.
bool ParseDecimal(const std::string& text, uint64_t& out);

class CKeyValues {
public:
    static CKeyValues FromRecord(const std::string& text);
    // False with a reason when the line is not a rule.
    static bool FromRule(const std::string& line, CKeyValues& out, std::string& error);
    std::string ToRecord() const;  // values must hold no line break
    std::string ToRule() const;

    bool Has(const std::string& key) const;
    std::string Get(const std::string& key, const std::string& def = std::string()) const;
    // The value as a decimal number; false when absent, malformed or above max.
    bool GetNumber(const std::string& key, uint64_t max, uint64_t& out) const;
    void Set(const std::string& key, const std::string& value);
    void SetNumber(const std::string& key, uint64_t value);
    bool Empty() const { return m_vecItems.empty(); }
    const std::vector<std::pair<std::string, std::string>>& Items() const { return m_vecItems; }

    // Reading a rule: each key is taken once, and a key nobody took is an unknown key.
    // Take: false when the key is absent. TakeNumber: true and value untouched when absent,
    // false with a reason when present but not a decimal number of at most max.
    bool Take(const std::string& key, std::string& value);
    bool TakeNumber(const std::string& key, uint64_t max, uint64_t& value, std::string& error);
    bool RefuseRest(std::string& error) const;  // false when a key is left

private:
    std::vector<std::pair<std::string, std::string>> m_vecItems;  // in the order given
};

// Names of enumerated values in rule text.
template <typename E>
struct SNamedValue {
    const char* pszName;
    E eValue;
};

template <typename E, size_t N>
bool ValueOfName(const SNamedValue<E> (&table)[N], const std::string& name, E& out) {
    for (const SNamedValue<E>& n : table) {
        if (name == n.pszName) {
            out = n.eValue;
            return true;
        }
    }
    return false;
}

template <typename E, size_t N>
const char* NameOfValue(const SNamedValue<E> (&table)[N], E value) {
    for (const SNamedValue<E>& n : table)
        if (n.eValue == value) return n.pszName;
    return "?";
}

// Takes the named key: true when absent (out untouched) or a known name, else false with a
// reason.
template <typename E, size_t N>
bool TakeName(CKeyValues& items, const std::string& key, const SNamedValue<E> (&table)[N], E& out,
              std::string& error) {
    std::string name;
    if (!items.Take(key, name)) return true;
    if (ValueOfName(table, name, out)) return true;
    error = "unknown " + key + " [" + name + "]";
    return false;
}

}  // namespace fcsim
