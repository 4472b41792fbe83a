// Configuration from an INI file, the focus client and the home folders.
#include "NxPlatformInfo.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

#include "EvDebug.h"
#include "WzFile.h"

namespace {

const char* const c_szTag = "int NXPlatformInfo::getNumber(const char*, const char*, uint64_t&)";

// Finds key in section; the last occurrence wins. False when the file cannot be read.
bool LookUp(const char* section, const char* key, std::string& value) {
    std::string path = NXPlatformInfo::getConfigFilePath();
    if (path.empty() || !section || !key) return false;
    std::string text;
    if (!ReadWholeFile(path, text)) return false;
    bool inSection = false;
    bool found = false;
    for (const std::string& raw :
         FXString::Split(text, "\n", FXString::FXSTRING_SPLIT_KEEP_EMPTY)) {
        std::string line = FXString::Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            inSection =
                close != std::string::npos &&
                FXString::CompareNoCase(FXString::Trim(line.substr(1, close - 1)), section) == 0;
            continue;
        }
        if (!inSection) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (FXString::CompareNoCase(FXString::Trim(line.substr(0, eq)), key) != 0) continue;
        value = FXString::Trim(line.substr(eq + 1));
        found = true;
    }
    return found;
}

bool ParseNumber(const std::string& text, uint64_t& value) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (result > (UINT64_MAX - digit) / static_cast<uint64_t>(base)) return false;  // overflow
        result = result * static_cast<uint64_t>(base) + digit;
    }
    value = result;
    return true;
}

// The folder this library was loaded from.
std::string LibraryFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || !info.dli_fname) {
        return std::string();
    }
    return CWzPath::GetDirectory(info.dli_fname);
}

// Unset: fallback; set but empty: none.
bool FolderFromEnv(const char* name, std::string& directory, bool (*fallback)(std::string&)) {
    const char* value = ::getenv(name);
    if (!value) return fallback(directory);
    if (!*value) return false;
    directory = value;
    return true;
}

bool LibraryFolderFallback(std::string& directory) {
    std::string folder = LibraryFolder();
    if (folder.empty()) return false;
    directory = folder;
    return true;
}

}  // namespace

int NXPlatformInfo::getNumber(const char* section, const char* key, uint64_t& value) {
    std::string text;
    if (!LookUp(section, key, text)) return 0;
    uint64_t parsed = 0;
    if (!ParseNumber(text, parsed)) {
        EvDebug log;
        log.Error(c_szTag,
                  "Configuration value [%s] of [%s] in section [%s] is not a number; "
                  "the default is kept",
                  text.c_str(), key, section);
        return 0;
    }
    value = parsed;
    return 1;
}

int NXPlatformInfo::getString(const char* section, const char* key, std::string& value) {
    std::string text;
    if (!LookUp(section, key, text)) return 0;
    value = text;
    return 1;
}

std::string NXPlatformInfo::getClientHostName(const std::string& clientName) {
    std::string host;
    if (clientName.empty() || !getString(clientName.c_str(), "HostName", host))
        return std::string();
    return host;
}

std::string NXPlatformInfo::getConfigFilePath() {
    const char* path = ::getenv("FC_CONFIG_FILE");
    return path ? path : "";
}

bool NXPI_Focus::getFocus() {
    const char* name = ::getenv("FC_CLIENT_NAME");
    return name && *name;
}

std::string NXPI_Focus::getFocusClientName(bool shortName) {
    const char* name = ::getenv("FC_CLIENT_NAME");
    if (!name || !*name) return std::string();
    std::string result = name;
    // An address is not a name with a domain: "10.1.2.3" stays whole.
    if (shortName && result.find_first_not_of("0123456789.") != std::string::npos) {
        size_t dot = result.find('.');
        if (dot != std::string::npos && dot > 0) result.resize(dot);
    }
    return result;
}

bool NXPI_PlatformBase::getBaseHomeDirectory(std::string& directory) {
    return FolderFromEnv("FC_HOME", directory, LibraryFolderFallback);
}

bool NXPI_Base::getHomeDirectory(std::string& directory) {
    return FolderFromEnv("FC_AGENT_HOME", directory, NXPI_PlatformBase::getBaseHomeDirectory);
}
