// The volume commands of FusionStorage's tools: four vbs_cli commands on this proxy and three
// VrmVBSTools operations on the manager.
#include <cinttypes>
#include <string>

#include "FusionStorageCLI.h"
#include "FusionStorageParser.h"

using FusionStorage::ShellInDoubleQuotes;
using FusionStorage::ShellWord;

namespace {

std::string ValueOf(const CFusionStorageCLI::ValueMap& values, const char* key) {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

}  // namespace

bool CFusionStorageCLI::_RunVbsCliVolumeCommand(const char* tag, const std::string& arguments,
                                                const char* failureText, ValueMap& values) {
    if (!ExecuteVbsCliCommand(arguments, values)) return false;
    std::string strCode = ValueOf(values, "ret_code");
    if (strCode != "0") {
        Error(tag, "%s [%s] [%s]", failureText, strCode.c_str(),
              ValueOf(values, "ret_desc").c_str());
        return false;
    }
    return true;
}

bool CFusionStorageCLI::AttachVolume(const std::string& volumeName, std::string& devicePath) {
    ValueMap values;
    if (!_RunVbsCliVolumeCommand(
            "bool CFusionStorageCLI::AttachVolume(const std::string&, std::string&)",
            "-c attach -v " + ShellWord(volumeName), "vbs attach reported failure", values)) {
        return false;
    }
    devicePath = ValueOf(values, "dev_addr");
    return true;
}

bool CFusionStorageCLI::DetatchVolume(const std::string& volumeName) {
    ValueMap values;
    return _RunVbsCliVolumeCommand("bool CFusionStorageCLI::DetatchVolume(const std::string&)",
                                   "-c detach -v " + ShellWord(volumeName),
                                   "vbs detach reported failure", values);
}

bool CFusionStorageCLI::DeleteVolume(const std::string& volumeName) {
    ValueMap values;
    return _RunVbsCliVolumeCommand("bool CFusionStorageCLI::DeleteVolume(const std::string&)",
                                   "-c deletevolume -v " + ShellWord(volumeName),
                                   "vbs delete volume reported failure", values);
}

bool CFusionStorageCLI::QueryVolume(const std::string& volumeName, uint64_t& volumeSize) {
    ValueMap values;
    if (!_RunVbsCliVolumeCommand(
            "bool CFusionStorageCLI::QueryVolume(const std::string&, uint64_t&)",
            "-c queryvolume -v " + ShellWord(volumeName), "vbs query volume reported failure",
            values)) {
        return false;
    }
    // A size that is not a number reads as 0; creating a volume of that size then fails.
    uint64_t ullSize = 0;
    FusionStorage::ParseDecimal(ValueOf(values, "vol_size"), ullSize);
    volumeSize = ullSize;
    return true;
}

bool CFusionStorageCLI::CreateVolumeFromSnapshot(const std::string& volumeName,
                                                 const std::string& snapshotName,
                                                 uint64_t volumeSize) {
    std::string strArguments = "--op createVolumeFromSnap --volName \"" +
                               ShellInDoubleQuotes(volumeName) + "\" --volSize " +
                               std::to_string(volumeSize) + " --snapNameSrc \"" +
                               ShellInDoubleQuotes(snapshotName) + "\" ";
    return ExecuteVrmVbsToolsCommand(strArguments);
}

bool CFusionStorageCLI::CreateBitmapVolume(const std::string& volumeName,
                                           const std::string& snapshotFrom,
                                           const std::string& snapshotTo) {
    std::string strArguments = "--op createBitmapVolume --volName \"" +
                               ShellInDoubleQuotes(volumeName) + "\" --snapNameTo \"" +
                               ShellInDoubleQuotes(snapshotTo) + "\" ";
    if (!snapshotFrom.empty()) {
        strArguments += " --snapNameFrom \"" + ShellInDoubleQuotes(snapshotFrom) + "\" ";
    }
    return ExecuteVrmVbsToolsCommand(strArguments);
}

bool CFusionStorageCLI::QueryBitmapVolume(const std::string& volumeName, uint32_t& status,
                                          uint32_t& blockSize) {
    static const char* const tag =
        "bool CFusionStorageCLI::QueryBitmapVolume(const std::string&, uint32_t&, uint32_t&)";
    ValueMap values;
    if (!ExecuteVrmVbsToolsCommand(
            "--op queryBitmapVolume --volName \"" + ShellInDoubleQuotes(volumeName) + "\" ", true,
            values)) {
        return false;
    }
    // A missing key reads as 0. A value that is present but not a number is refused: taking
    // it as 0 would call an unfinished bitmap ready and lose changed blocks.
    uint64_t ullStatus = 0;
    uint64_t ullBlockSize = 0;
    std::string strStatus = ValueOf(values, "status");
    std::string strBlockSize = ValueOf(values, "block_size");
    if ((values.count("status") && !FusionStorage::ParseDecimal(strStatus, ullStatus)) ||
        (values.count("block_size") && !FusionStorage::ParseDecimal(strBlockSize, ullBlockSize)) ||
        ullStatus > UINT32_MAX || ullBlockSize > UINT32_MAX) {
        Error(tag, "Failed to read bitmap volume [%s] state, status [%s] block size [%s]",
              volumeName.c_str(), strStatus.c_str(), strBlockSize.c_str());
        return false;
    }
    status = static_cast<uint32_t>(ullStatus);
    blockSize = static_cast<uint32_t>(ullBlockSize);
    Debug(tag, "Status = %u, BlockSize = %u", status, blockSize);
    return true;
}
