// Disk filters whose facts are fields of the FusionCompute disk record. The framework owns the
// rule list and asks these for the rules of their kind.
#include <cstdio>

#include "CPathMatch.h"
#include "FusionComputeInfo.h"
#include "WzUtil.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagPattern =
    "virtual bool CFusionComputeInfo::IsDiskFilteredByPattern(const string&, const "
    "VMInfoStructs::SDisk&)";
const char* const kTagNode =
    "virtual bool CFusionComputeInfo::IsDiskFilteredByVirtualDeviceNode(const string&, const "
    "VMInfoStructs::SDisk&)";
const char* const kTagDatastore =
    "virtual bool CFusionComputeInfo::IsDiskFilteredByDatastore(MountCtx&, const string&, const "
    "VMInfoStructs::SDisk&)";
}  // namespace

bool CFusionComputeInfo::IsDiskFilteredByPattern(const string& rule, const SDisk& disk) {
    // Display names are case-sensitive on the platform, so are the patterns that match them.
    CPathMatch matcher;
    matcher.caseSensitive(true);
    matcher.initialize(rule.c_str(), true, false);
    if (matcher.match(disk.strDisplayName.c_str()) != 1) return false;
    log.Debug(kTagPattern, "Disk [%s][%s] is filtered by pattern [%s]", disk.strDisplayName.c_str(),
              disk.strName.c_str(), rule.c_str());
    return true;
}

bool CFusionComputeInfo::IsDiskFilteredByVirtualDeviceNode(const string& rule, const SDisk& disk) {
    char unit[16];
    snprintf(unit, sizeof(unit), "%d", static_cast<int>(disk.nUnitNumber));
    string node = disk.strControllerType + "." + unit;
    if (FXString::CompareNoCase(rule, node) != 0) return false;
    log.Debug(kTagNode, "Disk [%s][%s] is filtered by Virtual Device Node [%s]",
              disk.strDisplayName.c_str(), disk.strName.c_str(), rule.c_str());
    return true;
}

bool CFusionComputeInfo::IsDiskFilteredByDatastore(MountCtx& /*ctx*/, const string& rule,
                                                   const SDisk& disk) {
    if (FXString::CompareNoCase(rule, disk.strDatastore) != 0) return false;
    log.Debug(kTagDatastore, "Disk [%s][%s] is filtered by [%s]", disk.strDisplayName.c_str(),
              disk.strName.c_str(), rule.c_str());
    return true;
}
