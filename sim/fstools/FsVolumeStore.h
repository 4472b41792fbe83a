// The simulator's FusionStorage volume store, behind the stand-ins of FusionStorage's tools
// (vbs_cli and VrmVBSTools). It lives in <state>/volumes/ of the simulator's state folder:
//
//   lock              flock of every store operation (taken before the state's own lock)
//   config            key=value settings, see SFsToolsConfig
//   <enc>.vol         one volume record (key=value lines); <enc> is the name, percent-encoded
//   <enc>.img         the data of a volume created from a snapshot, or of a bitmap volume
//   calls.log         one line per tool run (tool, working folder, class path, arguments)
//
// Volumes:
//   - a disk's own volume: "fsvol-<disk id>" for any disk of the state (the name the
//     management service reports for a disk on a FusionStorage datastore); its data is the
//     disk file itself; never created or deleted here (a record exists only while attached);
//   - a snapshot volume: created from a FusionStorage snapshot of a disk (CSimState's
//     fssnap records): data_offset bytes of header, then the frozen disk content;
//   - a bitmap volume: one byte per chunk of 8 x block size bytes of the volume, non-zero where
//     the chunk changed between the two snapshots (with no older snapshot: where the newer one
//     holds data or was ever written). Padded with zero bytes to a multiple of 512 so that it
//     can be attached as a loop device.
// Attaching gives a loop device when the machine allows it (root, /dev/loop-control, losetup
// succeeding, and not switched off), else the path of the volume's data file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fcsim {

// Result codes reported as "ret_code".
enum EFsCode : int {
    FS_OK = 0,
    FS_E_INVALID = 1,      // bad name, size or argument
    FS_E_NOT_FOUND = 2,    // no such volume or snapshot
    FS_E_EXISTS = 3,       // a volume of that name exists
    FS_E_BUSY = 4,         // the volume is attached
    FS_E_IO = 5,           // reading or writing data failed
    FS_E_UNSUPPORTED = 6,  // not possible in this simulator
};

struct SFsToolsConfig {
    uint64_t ullDataOffset = 0;        // "data_offset": where a disk's data starts in a volume
    uint32_t nBitmapBlockSize = 4096;  // "bitmap_block_size"
    uint32_t nBitmapNotReady = 0;      // "bitmap_not_ready": queries answered "not ready"
    bool bUseLoop = true;              // "use_loop": 0 never attaches loop devices
};

struct SFsVolume {
    std::string strName;
    std::string strKind;      // "disk", "snapshot" or "bitmap"
    std::string strSource;    // disk id, or snapshot name (the newer one for a bitmap)
    std::string strDataPath;  // the file holding the volume's bytes
    uint64_t ullSize = 0;     // bytes
    std::string strDevice;    // where it is attached; empty when not attached
    bool bLoop = false;       // strDevice is a loop device of ours
    uint32_t nBlockSize = 0;  // bitmap: bytes per bit
    uint32_t nNotReady = 0;   // bitmap: queries still to be answered "not ready"
};

class CFsVolumeStore {
public:
    explicit CFsVolumeStore(std::string stateRoot);  // creates volumes/ when missing

    const std::string& Folder() const { return m_strFolder; }
    SFsToolsConfig Config() const;
    bool SetConfig(const SFsToolsConfig& config);

    // Each returns an EFsCode; error says why when it is not FS_OK.
    int CreateFromSnapshot(const std::string& name, uint64_t size, const std::string& snapshot,
                           std::string& error);
    // snapshotFrom may be empty. notReady < 0 takes the configured count.
    int CreateBitmap(const std::string& name, const std::string& snapshotTo,
                     const std::string& snapshotFrom, int notReady, std::string& error);
    // status 0 = ready; a bitmap still "not ready" counts one query down.
    int QueryBitmap(const std::string& name, uint32_t& status, uint32_t& blockSize,
                    std::string& error);
    int Query(const std::string& name, uint64_t& size, std::string& error);
    // Attaching an attached volume gives its device again.
    int Attach(const std::string& name, std::string& device, std::string& error);
    int Detach(const std::string& name, std::string& error);
    int Delete(const std::string& name, std::string& error);

    bool Get(const std::string& name, SFsVolume& out) const;  // stored volumes only
    std::vector<SFsVolume> List() const;
    // Detaches every attached volume (loop devices included); for clean-ups.
    void DetachAll();

    // Appends one line to calls.log: tool, working folder, class path and arguments, each
    // tab-separated with '\\', tab and line feeds escaped.
    void LogCall(const std::string& tool, const std::string& cwd, const std::string& classPath,
                 const std::vector<std::string>& args);

    // Percent-encodes everything but [A-Za-z0-9_-], so a name can never leave the folder.
    static std::string EncodeName(const std::string& name);
    static const size_t c_nMaxNameLength = 96;

private:
    class CLock;
    std::string RecordPath(const std::string& name) const;
    std::string DataPath(const std::string& name) const;
    bool Load(const std::string& name, SFsVolume& out) const;
    bool Save(const SFsVolume& volume) const;
    // A stored volume, or a disk's own volume; false when neither.
    bool Resolve(const std::string& name, SFsVolume& out, const SFsToolsConfig& config) const;
    int CheckName(const std::string& name, std::string& error) const;
    bool DetachDevice(SFsVolume& volume, std::string& error) const;

    std::string m_strRoot;
    std::string m_strFolder;
};

}  // namespace fcsim
