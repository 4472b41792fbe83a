// What a backup keeps of the VM besides its disks, in the manifest's VM record: the platform's
// record of the VM, the disk entries the plug-in showed, and the descriptor files, so that a
// restore can hand the plug-in what it handed over at the backup.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "VMInfoStructs.h"

namespace fcagent {

struct SKeptVm {
    VMInfoStructs::SVMInfo vm;                    // as the plug-in reported it at the mount
    std::vector<VMInfoStructs::SDisk> vecDisks;   // the disk entries, in backup order
    std::map<std::string, std::string> mapFiles;  // descriptor file name -> content
    std::string strCbtStatus;
    std::string strTransport;
};

nlohmann::json KeptVmToJson(const SKeptVm& kept);
// False (with a reason) when the record is not one this host wrote.
bool KeptVmFromJson(const nlohmann::json& j, SKeptVm& kept, std::string& strError);

std::string Base64Encode(const std::string& strIn);
bool Base64Decode(const std::string& strIn, std::string& strOut);

}  // namespace fcagent
