// The simulator's shared state: one folder that the management service, the CNA disk-file
// server and the FusionStorage tool stand-ins (separate processes) all read and write.
// Everything here is file based and safe across threads and processes (flock on the folder's
// "lock" file), so the pieces meet only through this folder.
//
// Layout under the root:
//   inventory.json            the management service's inventory (owned by the management side)
//   disks/<diskId>.img        a VM disk, sparse
//   snapshots/<snapId>/<diskId>.img   a disk frozen when the snapshot was taken: whole, or
//                             copy-on-write with a <diskId>.map beside it (DiskCow.h)
//   cow/<diskId>/             the disk's copy-on-write snapshots (DiskCow.h)
//   cbt/<diskId>.log          change journal: one "seq offset length" line per write
//   cbt/<diskId>.watch        baseline of a disk written around the journal (sim/diskwatch)
//   leases/<accessId>         one disk-access lease (key=value lines)
//   fssnap/<name>             one FusionStorage snapshot of a disk (key=value lines)
//   volumes/                  the FusionStorage volume store (owned by the tool stand-ins)
//   faults/                   fault rules (each piece owns its own file)
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fcsim {

struct SLease {
    std::string strAccessID;
    std::string strToken;
    std::string strDiskID;
    std::string strPath;  // the file the CNA serves for this lease
    bool bWritable = false;
    int64_t tExpires = 0;  // seconds since the epoch (NxClock-free: see CSimState::Now)
};

struct SFsSnapshot {
    std::string strName;        // FusionStorage snapshot name
    std::string strDiskID;      // the disk it was taken of
    std::string strPath;        // frozen content
    uint64_t ullChangeSeq = 0;  // change journal position when it was taken
    uint64_t ullSize = 0;
};

struct SWrite {
    uint64_t ullSeq = 0;
    uint64_t ullOffset = 0;
    uint64_t ullLength = 0;
};

class CSimState {
public:
    explicit CSimState(std::string root);  // creates the folders when missing
    const std::string& Root() const { return m_strRoot; }

    std::string DiskPath(const std::string& diskID) const;
    std::string SnapshotDiskPath(const std::string& snapID, const std::string& diskID) const;

    // Leases. Expiry is judged by the caller against Now().
    bool PutLease(const SLease& lease);
    bool GetLease(const std::string& accessID, SLease& out) const;
    bool DeleteLease(const std::string& accessID);
    // The lease is stored; one system call, for checks on every request.
    bool HasLease(const std::string& accessID) const;

    // FusionStorage snapshots of disks.
    bool PutFsSnapshot(const SFsSnapshot& snap);
    bool GetFsSnapshot(const std::string& name, SFsSnapshot& out) const;
    bool DeleteFsSnapshot(const std::string& name);

    // Change tracking: every write to a disk is journalled; a change token or a snapshot names
    // a journal position. MarkWritten returns the new position.
    uint64_t MarkWritten(const std::string& diskID, uint64_t offset, uint64_t length);
    uint64_t ChangeSeq(const std::string& diskID) const;
    // Writes with fromSeq < seq <= toSeq.
    std::vector<SWrite> WritesBetween(const std::string& diskID, uint64_t fromSeq,
                                      uint64_t toSeq) const;

    // Every lease, for sweeping expired ones and for tests.
    std::vector<SLease> ListLeases() const;

    // Forgets a disk's change journal and its watch (the disk was deleted). Its position
    // restarts at 0.
    bool DropJournal(const std::string& diskID);

    // The folder-wide lock that every operation above takes; the management side holds it
    // while it reads, changes and writes inventory.json. Not re-entrant: do not call the
    // methods above while holding it from the same thread. Another file name under the root
    // gives a lock of its own, for work that must call those methods while it is held.
    class CLock {
    public:
        explicit CLock(const CSimState& state, bool bExclusive = true, const char* szFile = "lock");
        ~CLock();
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;
        bool Held() const { return m_nFd >= 0; }

    private:
        int m_nFd = -1;
    };

    // A name used as a file name under the root (disk id, access id, snapshot name) must be
    // non-empty, short and free of '/', NUL and leading dots, so that it cannot leave its folder.
    static bool IsSafeName(const std::string& name);

    // Writes a file atomically (temporary file, fsync-free rename). Used for small records.
    static bool WriteFileAtomic(const std::string& path, const std::string& data);
    static bool ReadFile(const std::string& path, std::string& out);

    // A decimal number of at most 64 bits: digits only, no sign, no blanks, no overflow (the
    // records' rule, KeyValues.h).
    static bool ParseDecimal(const std::string& text, uint64_t& out);

    // Seconds since the epoch; tests of lease expiry override it.
    static int64_t Now();
    static void SetNowForTest(int64_t seconds);  // 0 restores the real time

private:
    std::string m_strRoot;
};

}  // namespace fcsim
