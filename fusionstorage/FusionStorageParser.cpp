#include "FusionStorageParser.h"

#include <cstring>

#include "WzError.h"

namespace FusionStorage {

namespace {

const char* const c_logPrefixes[] = {"DEBUG ", "INFO  ", "ERROR "};
const char* const c_blanks = " \t\r";

}  // namespace

void ParseToolOutput(const std::string& output, std::map<std::string, std::string>& values) {
    for (std::string strLine : FXString::Split(output, "\n", FXString::FXSTRING_SPLIT_KEEP_EMPTY)) {
        for (const char* pszPrefix : c_logPrefixes) {
            if (FXString::StartsWith(strLine, pszPrefix)) {
                strLine.erase(0, std::strlen(pszPrefix));
                break;
            }
        }
        // The outer split keeps the quotes so that the '=' split still sees them.
        for (const std::string& strField : CWzString(strLine).Tokenize(",", '"', '"', 0, true)) {
            std::vector<std::string> parts = CWzString(strField).Tokenize("=", '"', '"', 0, false);
            if (parts.empty()) continue;
            std::string strKey = FXString::Trim(parts[0], c_blanks);
            if (strKey.empty()) continue;
            values[strKey] = parts.size() > 1 ? FXString::Trim(parts[1], c_blanks) : std::string();
        }
    }
}

bool ParseDecimal(const std::string& text, uint64_t& value) {
    if (text.empty()) return false;
    uint64_t ullResult = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t ullDigit = static_cast<uint64_t>(c - '0');
        if (ullResult > (UINT64_MAX - ullDigit) / 10) return false;
        ullResult = ullResult * 10 + ullDigit;
    }
    value = ullResult;
    return true;
}

std::string ShellWord(const std::string& value) {
    bool bPlain = !value.empty();
    for (char c : value) {
        bool bSafe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     (c != '\0' && std::strchr("_-./:,@%+=", c) != nullptr);
        if (!bSafe) {
            bPlain = false;
            break;
        }
    }
    if (bPlain) return value;
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    out += "'";
    return out;
}

std::string ShellInDoubleQuotes(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '$' || c == '`' || c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace FusionStorage
