#include "KeyValues.h"

namespace fcsim {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool NeedsQuotes(const std::string& value) {
    return value.empty() || value.find_first_of(" \t\"\\") != std::string::npos;
}

// One value of a rule from pos on (quoted or bare); pos ends after it.
bool ReadValue(const std::string& line, size_t& pos, std::string& value, std::string& error) {
    value.clear();
    if (pos >= line.size() || line[pos] != '"') {
        while (pos < line.size() && !IsBlank(line[pos])) value.push_back(line[pos++]);
        return true;
    }
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            if (pos < line.size() && !IsBlank(line[pos])) {
                error = "text after a closing quote";
                return false;
            }
            return true;
        }
        if (c == '\\' && pos + 1 < line.size()) c = line[++pos];
        value.push_back(c);
    }
    error = "unterminated quote";
    return false;
}

}  // namespace

bool ParseDecimal(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

CKeyValues CKeyValues::FromRecord(const std::string& text) {
    CKeyValues kv;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t eq = line.find('=');
        if (eq != std::string::npos) kv.Set(line.substr(0, eq), line.substr(eq + 1));
        pos = end + 1;
    }
    return kv;
}

bool CKeyValues::FromRule(const std::string& line, CKeyValues& out, std::string& error) {
    CKeyValues kv;
    size_t pos = 0;
    while (true) {
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size()) break;
        size_t start = pos;
        while (pos < line.size() && line[pos] != '=' && !IsBlank(line[pos])) ++pos;
        std::string key = line.substr(start, pos - start);
        if (pos >= line.size() || line[pos] != '=') {
            error = "expected key=value, got [" + key + "]";
            return false;
        }
        if (key.empty()) {
            error = "an item without a key";
            return false;
        }
        if (kv.Has(key)) {
            error = "key [" + key + "] given twice";
            return false;
        }
        ++pos;
        std::string value;
        if (!ReadValue(line, pos, value, error)) {
            error = key + ": " + error;
            return false;
        }
        kv.m_vecItems.emplace_back(key, value);
    }
    out = std::move(kv);
    return true;
}

std::string CKeyValues::ToRecord() const {
    std::string out;
    for (const auto& item : m_vecItems) out += item.first + "=" + item.second + "\n";
    return out;
}

std::string CKeyValues::ToRule() const {
    std::string out;
    for (const auto& item : m_vecItems) {
        if (!out.empty()) out += ' ';
        out += item.first + '=';
        if (!NeedsQuotes(item.second)) {
            out += item.second;
            continue;
        }
        out += '"';
        for (char c : item.second) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out;
}

bool CKeyValues::Has(const std::string& key) const {
    for (const auto& item : m_vecItems)
        if (item.first == key) return true;
    return false;
}

std::string CKeyValues::Get(const std::string& key, const std::string& def) const {
    for (const auto& item : m_vecItems)
        if (item.first == key) return item.second;
    return def;
}

bool CKeyValues::GetNumber(const std::string& key, uint64_t max, uint64_t& out) const {
    uint64_t v = 0;
    if (!Has(key) || !ParseDecimal(Get(key), v) || v > max) return false;
    out = v;
    return true;
}

void CKeyValues::Set(const std::string& key, const std::string& value) {
    for (auto& item : m_vecItems) {
        if (item.first == key) {
            item.second = value;
            return;
        }
    }
    m_vecItems.emplace_back(key, value);
}

void CKeyValues::SetNumber(const std::string& key, uint64_t value) {
    Set(key, std::to_string(value));
}

bool CKeyValues::Take(const std::string& key, std::string& value) {
    for (auto it = m_vecItems.begin(); it != m_vecItems.end(); ++it) {
        if (it->first == key) {
            value = it->second;
            m_vecItems.erase(it);
            return true;
        }
    }
    return false;
}

bool CKeyValues::TakeNumber(const std::string& key, uint64_t max, uint64_t& value,
                            std::string& error) {
    std::string text;
    if (!Take(key, text)) return true;
    uint64_t v = 0;
    if (!ParseDecimal(text, v) || v > max) {
        error = key + " [" + text + "] is not a number from 0 to " + std::to_string(max);
        return false;
    }
    value = v;
    return true;
}

bool CKeyValues::RefuseRest(std::string& error) const {
    if (m_vecItems.empty()) return true;
    error = "unknown key [" + m_vecItems.front().first + "]";
    return false;
}

}  // namespace fcsim
