// Change tracking for writers that go around the change journal: the backup SDK's SAN
// transport, which opens the disk file itself, and a FusionStorage volume attached for writing,
// written through its loop device or file. Neither tells the simulator what it wrote, so the
// simulator watches the disk instead. When such access begins it takes a baseline, a digest of
// every 4 KiB chunk that holds data; whenever the changes must be known (a snapshot is about to
// fix a journal position, the access ends) it compares the file with the baseline, journals the
// chunks that differ and moves the baseline on.
//
// The baseline lives in the state folder (cbt/<diskId>.watch), so a writer that dies without
// ending its access loses nothing: the next snapshot or the expiry of its lease folds what it
// wrote. Only the file's data regions are read (SEEK_DATA/SEEK_HOLE), and only while some
// access holds the watch; a disk nobody watches costs one stat per fold.
//
// What is seen is content: a chunk whose bytes end as they began (zeros written over a hole,
// data written back unchanged) is not reported, and a change is reported for its whole 4 KiB
// chunk. Digests are 64 bits; a change within one 8-byte word always alters the digest.
#pragma once

#include <cstdint>
#include <string>

#include "SimState.h"

namespace fcsim {

class CDiskWatch {
public:
    static constexpr uint64_t c_ullChunkBytes = 4096;

    explicit CDiskWatch(CSimState& state) : m_state(state) {}

    // A holder names who keeps a disk writable around the journal; each takes the watch once.
    static std::string LeaseHolder(const std::string& accessID) { return "lease-" + accessID; }
    static constexpr const char* c_szVolumeHolder = "fsvol";

    // Adds the holder; the first one takes the baseline of the disk file as it is now.
    bool Begin(const std::string& diskID, const std::string& holder, std::string& err);
    // Journals the chunks changed since the baseline and moves it on. Lease holders whose lease
    // is gone or expired are let go; with no holder left the watch ends. Unwatched: no-op.
    bool Fold(const std::string& diskID, std::string& err);
    // Folds, then lets the holder go. On failure the holder stays, so a later fold retries.
    bool End(const std::string& diskID, const std::string& holder, std::string& err);
    bool Watched(const std::string& diskID) const;
    // Freezes the disk for snapID: copy-on-write when bCow and no writer holds the disk around
    // the simulator, else a whole copy (DiskCow.h). Begin makes the disk's snapshots whole
    // first, and both run under the watches' lock, so no such writer meets a shared block.
    bool Freeze(const std::string& diskID, const std::string& snapID, bool bCow, std::string& err);

private:
    bool Update(const std::string& diskID, const std::string& dropHolder, std::string& err);
    std::string WatchPath(const std::string& diskID) const;

    CSimState& m_state;
};

}  // namespace fcsim
