// A temporary simulator state folder with one disk and helpers to freeze FusionStorage
// snapshots of it; loop devices left attached are detached and the folder removed at the end.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "FsVolumeStore.h"
#include "SimState.h"
#include "TempDir.h"

class CFsStateFixture {
public:
    CFsStateFixture();
    ~CFsStateFixture();
    CFsStateFixture(const CFsStateFixture&) = delete;
    CFsStateFixture& operator=(const CFsStateFixture&) = delete;

    const std::string& Dir() const { return m_dir.Path(); }
    std::string StateDir() const { return m_dir.Path() + "/state"; }
    fcsim::CSimState& State() { return m_state; }
    fcsim::CFsVolumeStore& Store() { return m_store; }

    // Writes bytes into the disk "disk-1" and journals the write.
    void WriteDisk(uint64_t offset, const std::string& bytes);
    // Freezes the disk as a FusionStorage snapshot of that name, after folding its watch.
    void Snapshot(const std::string& name);
    std::string DiskContent() const;

    // Which bytes of a bitmap are non-zero, as '0' and '1'; and 512 bytes with these marked.
    static std::string Marks(const std::string& bitmap);
    static std::string Marked(std::initializer_list<size_t> chunks);

    static constexpr uint64_t c_ullDiskSize = 1 << 20;
    static const char* const c_szDisk;
    static const char* const c_szDiskVolume;  // the disk's own FusionStorage volume

private:
    CTempDir m_dir;
    fcsim::CSimState m_state;
    fcsim::CFsVolumeStore m_store;
};
