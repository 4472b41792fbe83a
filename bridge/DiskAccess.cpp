// Change tokens, changed and allocated blocks, and disk-access leases (backup resources).
#include <strings.h>

#include "NxClock.h"
#include "Ops.h"

namespace FusionComputeSDKCppBridge {

using namespace ops;

namespace {

constexpr uint32_t kDefaultLeaseSecs = 300;
constexpr uint32_t kMaxLeaseSecs = 7200;

bool IsHex(const std::string& s) {
    for (unsigned char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

bool QueryBitmap(CImpl& impl, const std::string& diskKey, const std::string& snapshotID,
                 const std::string* changeToken, std::string& outBitmap, int& outSectorsPerBit) {
    json entry;
    std::string volUri;
    if (!ObjectUri(impl, "volumes", diskKey, volUri) ||
        !SnapshotDiskEntry(impl, snapshotID, diskKey, entry))
        return false;
    const std::string snapUuid = JStr(entry, "snapUuid");
    if (snapUuid.empty())
        return impl.Fail("disk [" + diskKey + "] has no snapshot id in snapshot [" + snapshotID +
                         "]");
    json body = {{"type", "DiffBitmapAndBit1Num"}, {"snapUuid", snapUuid}};
    const std::string created = JStr(entry, "volCBTCreateTime");
    if (!created.empty()) body["volCBTCreateTime"] = created;
    if (changeToken) body["chgID"] = *changeToken;
    json answer;
    if (!impl.Send("POST", volUri + "/getcbt", &body, answer)) return false;
    if (!answer.is_object() || !answer.contains("bitMap") || !answer["bitMap"].is_string())
        return impl.Fail("the changed-block answer for [" + diskKey + "] has no 'bitMap'");
    std::string bitmap = answer["bitMap"].get<std::string>();
    const int64_t sectors = JInt(answer, "sectorOfBlock", 0);
    if (sectors <= 0 || sectors > (1 << 24))
        return impl.Fail("the changed-block answer for [" + diskKey +
                         "] has no usable 'sectorOfBlock'");
    if (!IsHex(bitmap))
        return impl.Fail("the changed-block bitmap for [" + diskKey + "] is not hexadecimal");
    // A bitmap shorter than the blocks it claims to cover would silently drop changes.
    if (JHas(answer, "bitNum")) {
        const int64_t bits = JInt(answer, "bitNum", -1);
        if (bits < 0 || static_cast<uint64_t>(bitmap.size()) < static_cast<uint64_t>(bits + 3) / 4)
            return impl.Fail("the changed-block bitmap for [" + diskKey +
                             "] is shorter than its 'bitNum'");
    }
    outBitmap = std::move(bitmap);
    outSectorsPerBit = static_cast<int>(sectors);
    return true;
}

}  // namespace

bool CFusionComputeSDKCppBridge::GetDiskChangeToken(const std::string& diskKey,
                                                    const std::string& snapshotID,
                                                    std::string& outToken) {
    return m_pImpl->Run("GetDiskChangeToken", [&] {
        json entry;
        if (!SnapshotDiskEntry(*m_pImpl, snapshotID, diskKey, entry)) return false;
        std::string token = JStr(entry, "chgID");
        if (token.empty()) token = JStr(entry, "ChgID");
        if (token.empty())
            return m_pImpl->Fail("snapshot [" + snapshotID + "] holds no change token for [" +
                                 diskKey + "]");
        outToken = std::move(token);
        return true;
    });
}

bool CFusionComputeSDKCppBridge::QueryDiskChangedBlocks(const std::string& diskKey,
                                                        const std::string& snapshotID,
                                                        const std::string& changeToken,
                                                        std::string& outBitmap,
                                                        int& outSectorsPerBit) {
    return m_pImpl->Run("QueryDiskChangedBlocks", [&] {
        if (changeToken.empty()) return m_pImpl->Fail("no change token given");
        return QueryBitmap(*m_pImpl, diskKey, snapshotID, &changeToken, outBitmap,
                           outSectorsPerBit);
    });
}

bool CFusionComputeSDKCppBridge::QueryDiskAllocatedBlocks(const std::string& diskKey,
                                                          const std::string& snapshotID,
                                                          std::string& outBitmap,
                                                          int& outSectorsPerBit) {
    return m_pImpl->Run("QueryDiskAllocatedBlocks", [&] {
        return QueryBitmap(*m_pImpl, diskKey, snapshotID, nullptr, outBitmap, outSectorsPerBit);
    });
}

bool CFusionComputeSDKCppBridge::PrepareDiskAccess(
    const std::string& diskKey, const std::string& snapshotID, const std::string& proxyIP,
    bool writeAccess, std::string& outAccessID, std::string& outCNAAddress, std::string& outCNAPort,
    std::string& outToken, std::string& outDiskFilePath) {
    CImpl& impl = *m_pImpl;
    return impl.Run("PrepareDiskAccess", [&] {
        std::string volUri, snapUri;
        if (!ObjectUri(impl, "volumes", diskKey, volUri)) return false;
        json body = {{"taskType", writeAccess ? "CBTRestore" : "CBTBackup"},
                     {"ip", proxyIP},
                     {"transMode", "lan"}};
        if (!writeAccess) {
            if (!SnapshotUri(impl, snapshotID, snapUri)) return false;
            body["snapUrn2"] = snapshotID;
        }
        json answer;
        if (!impl.Send("POST", volUri + "/backupresources", &body, answer)) return false;
        // The access id is the task's own id: the last segment of its URI (or URN).
        const std::string taskRef =
            JStr(answer, "taskUri").empty() ? JStr(answer, "taskUrn") : JStr(answer, "taskUri");
        const std::string accessID = taskRef.substr(taskRef.find_last_of("/:") + 1);
        if (!IsSafeSegment(accessID))
            return impl.Fail("the answer to the disk-access request names no resource");
        const std::string resUri = volUri + "/backupresources/" + accessID;
        // From here on a lease exists; any failure gives it back.
        auto giveBack = [&](const std::string& why) {
            SCallError ignored;
            json none;
            impl.Session().Call("DELETE", resUri, nullptr, none, ignored);
            return impl.Fail(why);
        };
        const uint64_t deadline =
            NxClock::NowMs() + static_cast<uint64_t>(impl.Options().nTaskTimeoutSecs) * 1000;
        json res;
        for (;;) {
            SCallError err;
            if (!impl.Session().Call("GET", resUri, nullptr, res, err))
                return giveBack(err.strText);
            const std::string status = JStr(res, "status");
            if (strcasecmp(status.c_str(), "success") == 0) break;
            if (strcasecmp(status.c_str(), "failed") == 0) {
                std::string text = JStr(res, "reasonDes");
                if (text.empty()) text = "disk access could not be prepared";
                const std::string code = JStr(res, "reason");
                if (!code.empty()) text += " (error " + code + ")";
                return giveBack(text);
            }
            if (status.empty()) return giveBack("the disk-access answer carries no status");
            if (NxClock::NowMs() >= deadline)
                return giveBack("disk access for [" + diskKey + "] was not ready in time");
            NxClock::Sleep(impl.Options().nTaskPollMillis);
        }
        const std::string host = JStr(res, "hostIP");
        const int64_t port = JInt(res, "hostPort", 0);
        const std::string token = JStr(res, "token");
        const std::string file = JStr(res, "targetFile");
        if (host.empty() || token.empty() || file.empty())
            return giveBack("the disk-access answer lacks the CNA address, token or file");
        if (port <= 0 || port > 65535)
            return giveBack("the disk-access answer has no valid CNA port");
        impl.RememberAccess(accessID, volUri);
        outAccessID = accessID;
        outCNAAddress = host;
        outCNAPort = std::to_string(port);
        outToken = token;
        outDiskFilePath = file;
        return true;
    });
}

bool CFusionComputeSDKCppBridge::ExtendDiskAccess(const std::string& accessID) {
    return ExtendDiskAccess(accessID, kDefaultLeaseSecs);
}

bool CFusionComputeSDKCppBridge::ExtendDiskAccess(const std::string& accessID, uint32_t seconds) {
    CImpl& impl = *m_pImpl;
    return impl.Run("ExtendDiskAccess", [&] {
        if (seconds == 0 || seconds > kMaxLeaseSecs)
            return impl.Fail("a lease extension must be between 1 and 7200 seconds, not " +
                             std::to_string(seconds));
        std::string uri;
        if (!impl.AccessUri(accessID, uri)) return false;
        json body = {{"delay", seconds}}, answer;
        return impl.Send("PUT", uri, &body, answer);
    });
}

bool CFusionComputeSDKCppBridge::ReleaseDiskAccess(const std::string& accessID) {
    CImpl& impl = *m_pImpl;
    return impl.Run("ReleaseDiskAccess", [&] {
        std::string uri;
        if (!impl.AccessUri(accessID, uri)) return false;
        json answer;
        SCallError err;
        if (impl.Session().Call("DELETE", uri, nullptr, answer, err)) {
            impl.ForgetAccess(accessID);
            return true;
        }
        // Gone at the service (released, expired): the id is of no further use. Without an
        // answer the release may be tried again.
        if (err.nHttpStatus != 0) impl.ForgetAccess(accessID);
        return impl.Fail(err);
    });
}

}  // namespace FusionComputeSDKCppBridge
