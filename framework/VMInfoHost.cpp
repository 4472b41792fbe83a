// The parts of CVMInfo that touch the machine: the mount folder and the BIOS identity.
#include <cstdlib>

#include "VMInfo.h"
#include "WzFile.h"

namespace {

const char* const c_szPrepareTag = "int CVMInfo::_PrepareMountPathDirectory(const string&, bool)";

// The first line of a DMI attribute file, without the line end.
bool ReadDmiValue(const std::string& folder, const char* name, std::string& value) {
    std::string text;
    if (!ReadWholeFile(CWzPath::Append(folder, name), text)) return false;
    value = FXString::TrimRight(text.substr(0, text.find('\n')), " \t\r\n");
    return true;
}

}  // namespace

int CVMInfo::_PrepareMountPathDirectory(const string& path, bool create) {
    // Emptying or removing the root (or nothing at all) would be a disaster, never a mount path.
    if (path.empty() || FXPath::IsRootFolder(path)) {
        log.Error(c_szPrepareTag, "Refusing mount path [%s]", path.c_str());
        return 0;
    }
    if (!create) {
        CWzError e = FXPath::RemoveAll(path);
        if (e.IsError()) {
            log.Error(c_szPrepareTag, "Failed to remove mount path [%s], %s", path.c_str(),
                      e.AsString());
            return 0;
        }
        return 1;
    }
    CWzError e = FXPath::CreateDirectories(path);
    if (e.IsError()) {
        log.Error(c_szPrepareTag, "Failed to create mount path [%s], %s", path.c_str(),
                  e.AsString());
        return 0;
    }
    // Left-overs of an earlier job would be listed as this job's files.
    CWzDirectory dir;
    e = dir.Open(path, "*", false);
    SWzDirEntry entry;
    bool end = false;
    while (e.Success()) {
        e = dir.GetEntry(entry, end);
        if (e.IsError() || end) break;
        e = FXPath::RemoveAll(entry.strFullPath);
    }
    if (e.IsError() && e.Status() != WZ_E_NOT_FOUND) {  // NOT_FOUND: the folder was empty
        log.Error(c_szPrepareTag, "Failed to empty mount path [%s], %s", path.c_str(),
                  e.AsString());
        return 0;
    }
    return 1;
}

bool CVMInfo::getBiosInfo(string& manufacturer, string& serial, string& uuid, string& product) {
    const char* env = ::getenv("FC_DMI_DIR");
    std::string folder = (env && *env) ? env : "/sys/class/dmi/id";
    std::string vendor;
    if (!ReadDmiValue(folder, "sys_vendor", vendor)) return false;
    manufacturer = vendor;
    // The serial number is readable by root only; the others stay empty when unreadable.
    if (!ReadDmiValue(folder, "product_serial", serial)) serial.clear();
    if (!ReadDmiValue(folder, "product_uuid", uuid)) uuid.clear();
    if (!ReadDmiValue(folder, "product_name", product)) product.clear();
    return true;
}
