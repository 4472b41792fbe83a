// Copy-on-write snapshots of the simulator's disks.
//
// A whole copy of a disk file per snapshot costs a read and a write of every data block on a
// file system without reflinks, and it shares that file system with whoever backs the disk
// up. So a snapshot starts empty instead, and takes the old content of a block only when the
// live disk is about to change it:
//
//   snapshots/<snapId>/<diskId>.img   the overlay: sparse, the disk's size; the blocks the map
//                                     marks hold the frozen content (holes kept as holes)
//   snapshots/<snapId>/<diskId>.map   one byte per 64 KiB block, 1 where the overlay holds it;
//                                     absent once the overlay is the whole frozen disk
//   cow/<diskId>/<snapId>             the disk's copy-on-write snapshots, for its writers
//   cow/<diskId>.lock                 held by a writer while it keeps blocks and writes them,
//                                     shared by a reader while it looks at the map and reads
//
// A frozen block is the overlay's where the map marks it, else the live disk's. Every writer
// of a live disk inside the simulator (guest writes, the CNA server) goes through WriteLive.
// What the simulator cannot follow makes the snapshot whole (Materialize), as a copy at
// creation would have been: a writer around the simulator (SAN transport, an attached
// FusionStorage volume) materializes the disk's snapshots when its watch begins and gets whole
// copies for snapshots taken while it holds the disk (sim/diskwatch); a reader around the
// simulator (a SAN backup client, the FusionStorage tools) reads whole files; deleting a disk
// first makes its snapshots whole. All of it lives in files, so it survives a restart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "SimState.h"

namespace fcsim {

class CDiskCow {
public:
    CDiskCow(const CSimState& state, std::string diskID);

    // Starts snapID's frozen view of the disk as it is now: an empty overlay and map.
    bool Take(const std::string& snapID, std::string& err);
    // Fills the overlay with every block it does not hold yet; a whole one is left alone.
    bool Materialize(const std::string& snapID, std::string& err);
    bool MaterializeAll(std::string& err);
    // The snapshot is going away: none of its blocks need keeping any more.
    void Forget(const std::string& snapID);
    // Keeps the blocks of [offset, offset + length) in every snapshot that still shares them,
    // then runs write, the write of that range of the live disk, under the disk's lock.
    bool WriteLive(uint64_t offset, uint64_t length, const std::function<bool()>& write,
                   std::string& err);
    // The snapshots that still share blocks with the live disk.
    std::vector<std::string> Snapshots() const;

private:
    bool Fill(const std::string& snapID, uint64_t first, uint64_t last, std::string& err);
    std::string EntryPath(const std::string& snapID) const;
    bool Valid(const std::string& snapID, std::string& err) const;

    const CSimState& m_state;
    std::string m_strDiskID;
};

// A snapshot's frozen disk as its readers see it, whole or copy-on-write.
class CFrozenDisk {
public:
    CFrozenDisk(const CSimState& state, std::string diskID, std::string path);
    ~CFrozenDisk();
    CFrozenDisk(const CFrozenDisk&) = delete;
    CFrozenDisk& operator=(const CFrozenDisk&) = delete;

    bool Open(std::string& err);
    bool CopyOnWrite() const { return m_nMap >= 0; }
    uint64_t Size() const { return m_ullSize; }
    bool Read(uint64_t offset, uint64_t length, char* out, std::string& err);
    // The data regions of the frozen disk, ascending; cut at block edges where copy-on-write.
    bool Extents(std::vector<std::pair<uint64_t, uint64_t>>& out, std::string& err);

private:
    const CSimState& m_state;
    std::string m_strDiskID;
    std::string m_strPath;
    int m_nOverlay = -1;
    int m_nMap = -1;
    int m_nLive = -1;
    int m_nLock = -1;  // the disk's lock file, open for as long as the map is read
    uint64_t m_ullSize = 0;
    std::vector<char> m_vecMarks;  // the map's bytes of the request being read
};

// The map that belongs to a frozen disk file (its ".img" made ".map").
std::string FrozenMapPath(const std::string& frozenPath);
// The whole frozen content of a snapshot's disk file, for checks.
bool ReadFrozen(const CSimState& state, const std::string& diskID, const std::string& path,
                std::string& out, std::string& err);

}  // namespace fcsim
