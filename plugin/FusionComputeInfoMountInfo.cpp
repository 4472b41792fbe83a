// What a mounted VM consists of, for the agent to read and catalogue: the disks registered for
// reading, then every file of the mount folder (the two descriptors, offered under the VM's
// name). File-level mount information and metadata collection do not exist on this platform.
#include "FusionComputeDiskInfo.h"
#include "FusionComputeInfo.h"
#include "WzFile.h"

using namespace VMInfoStructs;

namespace {
const char* const kTagConfigFiles =
    "int CFusionComputeInfo::_GetFullMountInfo_ConfigFiles(MountCtx&, "
    "std::vector<VMInfoStructs::SMountInfoFull>&)";
}  // namespace

int CFusionComputeInfo::GetFileMountInfo(MountCtx&, std::vector<SMountInfoFile>&) {
    return 0;
}

int CFusionComputeInfo::GetFullMountInfo(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    if (ctx.bNoFullMountInfo) return 0;
    return _GetFullMountInfo(ctx, out);
}

int CFusionComputeInfo::CollectMetadata(MountCtx&) {
    return 1;
}

int CFusionComputeInfo::_GetFullMountInfo(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    if (_GetFullMountInfo_Disks(ctx, out) == 0) return 0;
    return _GetFullMountInfo_ConfigFiles(ctx, out) != 0 ? 1 : 0;
}

int CFusionComputeInfo::_GetFullMountInfo_Disks(MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    for (SDisk& disk : ctx.vmInfo.vecDisks) {
        // Filtered, independent and unregistered disks are not part of the backup.
        if (disk.strName.empty() || !diskInfo || !diskInfo->CheckDisk(ctx.vmInfo, disk)) continue;
        disk.nObjectType = 30;
        disk.nFileType = 1;
        disk.strFileName = disk.strGUID;
        SMountInfoFull entry;
        entry.nType = 1;
        entry.vecDisks.push_back(disk);
        out.push_back(entry);
    }
    return 1;
}

int CFusionComputeInfo::_GetFullMountInfo_ConfigFiles(MountCtx& ctx,
                                                      std::vector<SMountInfoFull>& out) {
    CWzDirectory dir;
    CWzError err = dir.Open(ctx.strMountPath, "*", true);
    if (err.IsError()) {
        log.Debug(kTagConfigFiles, "Error Accessing Mount Path[%s], Error = [%s]",
                  ctx.strMountPath.c_str(), err.AsString());
        return 0;
    }
    SWzDirEntry entry;
    bool end = false;
    err = dir.GetEntry(entry, end);
    if (err.IsError()) {
        log.Debug(kTagConfigFiles, "Error Getting First Entry at [%s], Error = [%s]",
                  ctx.strMountPath.c_str(), err.AsString());
        return 0;
    }
    for (;;) {
        const string ext = CWzPath::GetExt(entry.strName);
        SDisk file;
        file.strName = ctx.strMountPath + "/" + entry.strName;
        file.strFileName = entry.strName;
        file.strDisplayName = ctx.strVMName + "." + ext;
        file.strPath.clear();
        file.nObjectType = 0;
        file.nFileType = 0;
        if (FXString::CompareNoCase(ext, "json") == 0) file.llFileFormat = 4;
        uint64_t size = 0;
        err = FXFile::NXGetFileSize(file.strName, size);
        if (err.IsError()) {
            log.Debug(kTagConfigFiles, "Failed to get size of the file [%s]. [%s]",
                      file.strName.c_str(), err.AsString());
            return 0;
        }
        file.llSize = static_cast<int64_t>(size);
        SMountInfoFull info;
        info.nType = 0;
        info.vecDisks.push_back(file);
        out.push_back(info);

        err = dir.GetEntry(entry, end);
        if (err.IsError()) {
            log.Debug(kTagConfigFiles, "Error Getting First Entry at [%s], Error = [%s]",
                      ctx.strMountPath.c_str(), err.AsString());
            return 0;
        }
        if (end) {
            dir.Close();
            return 1;
        }
    }
}
