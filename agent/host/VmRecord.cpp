#include "VmRecord.h"

#include <cstring>

namespace VMInfoStructs {
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SDisk, strName, strGUID, strChangeToken,
                                                bIsIndependent, ullCapacity, llSize,
                                                strControllerType, nUnitNumber, strDatastore,
                                                nProvisioningType, strFileName, strDisplayName,
                                                strPath, nFileType, strStorageVolumeName, nDiskType,
                                                strURN, strVMURN, nSequenceNumber)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SVMNetworkCard, strName, strMACAddress,
                                                strNetworkName, strNetworkID, strURN)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SVMInfo, strName, strGUID, strURN, strHostName,
                                                strClusterName, strClusterID, vecDisks,
                                                vecNetworkCards, bIsTemplate, nPowerState,
                                                strHostID, strFolderID, strDescription, strOSType,
                                                nCPUCount, ullMemoryMB, strStatus)
}  // namespace VMInfoStructs

namespace fcagent {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

nlohmann::json KeptVmToJson(const SKeptVm& kept) {
    nlohmann::json files = nlohmann::json::object();
    for (const auto& f : kept.mapFiles) files[f.first] = Base64Encode(f.second);
    return {{"format", "fcbackup-vm-1"}, {"record", kept.vm},
            {"disks", kept.vecDisks},    {"files", files},
            {"cbt", kept.strCbtStatus},  {"transport", kept.strTransport}};
}

bool KeptVmFromJson(const nlohmann::json& j, SKeptVm& kept, std::string& strError) {
    try {
        if (!j.is_object() || j.value("format", "") != "fcbackup-vm-1") {
            strError = "the backup holds no VM record this program can restore";
            return false;
        }
        kept.vm = j.at("record").get<VMInfoStructs::SVMInfo>();
        kept.vecDisks = j.at("disks").get<std::vector<VMInfoStructs::SDisk>>();
        kept.strCbtStatus = j.value("cbt", "");
        kept.strTransport = j.value("transport", "");
        kept.mapFiles.clear();
        for (const auto& f : j.at("files").items()) {
            const std::string& name = f.key();
            // The names become files in a folder of the restore: no path may come of them.
            if (name.empty() || name == "." || name == ".." ||
                name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
                !Base64Decode(f.value().get<std::string>(), kept.mapFiles[name])) {
                strError = "the backup's VM record names a bad descriptor file";
                return false;
            }
        }
        return true;
    } catch (const std::exception& e) {
        strError = std::string("the backup's VM record is damaged: ") + e.what();
        return false;
    }
}

std::string Base64Encode(const std::string& strIn) {
    std::string out;
    out.reserve((strIn.size() + 2) / 3 * 4);
    for (size_t i = 0; i < strIn.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(strIn[i]) << 16;
        if (i + 1 < strIn.size()) v |= static_cast<uint8_t>(strIn[i + 1]) << 8;
        if (i + 2 < strIn.size()) v |= static_cast<uint8_t>(strIn[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < strIn.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < strIn.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool Base64Decode(const std::string& strIn, std::string& strOut) {
    strOut.clear();
    if (strIn.size() % 4 != 0) return false;
    for (size_t i = 0; i < strIn.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = strIn[i + k];
            const char* at = c ? std::strchr(kAlphabet, c) : nullptr;
            if (c == '=' && k >= 2 && i + 4 == strIn.size()) {
                ++pad;
                v <<= 6;
                continue;
            }
            if (!at || pad) return false;
            v = (v << 6) | static_cast<uint32_t>(at - kAlphabet);
        }
        strOut += static_cast<char>((v >> 16) & 0xff);
        if (pad < 2) strOut += static_cast<char>((v >> 8) & 0xff);
        if (pad < 1) strOut += static_cast<char>(v & 0xff);
    }
    return true;
}

}  // namespace fcagent
