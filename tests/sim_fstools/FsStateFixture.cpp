#include "FsStateFixture.h"

#include <fstream>
#include <stdexcept>

#include "DiskFiles.h"
#include "DiskWatch.h"
#include "SimDisk.h"

const char* const CFsStateFixture::c_szDisk = "disk-1";
const char* const CFsStateFixture::c_szDiskVolume = "fsvol-disk-1";

CFsStateFixture::CFsStateFixture() : m_state(m_dir.File("state")), m_store(m_dir.File("state")) {
    fctest::WriteSimDisk(m_state, c_szDisk, std::vector<uint8_t>(c_ullDiskSize));
}

CFsStateFixture::~CFsStateFixture() {
    m_store.DetachAll();
}

void CFsStateFixture::WriteDisk(uint64_t offset, const std::string& bytes) {
    std::string err;
    if (!fcsim::WriteAt(m_state.DiskPath(c_szDisk), offset, bytes, err))
        throw std::runtime_error(err);
    m_state.MarkWritten(c_szDisk, offset, bytes.size());
}

std::string CFsStateFixture::DiskContent() const {
    return fctest::ReadWholeFile(m_state.DiskPath(c_szDisk));
}

std::string CFsStateFixture::Marks(const std::string& bitmap) {
    std::string bits;
    for (char c : bitmap) bits.push_back(c ? '1' : '0');
    return bits;
}

std::string CFsStateFixture::Marked(std::initializer_list<size_t> chunks) {
    std::string bits(512, '0');
    for (size_t chunk : chunks) bits[chunk] = '1';
    return bits;
}

void CFsStateFixture::Snapshot(const std::string& name) {
    std::string err;
    // As the management service does: writes around the journal count before the position.
    if (!fcsim::CDiskWatch(m_state).Fold(c_szDisk, err)) throw std::runtime_error(err);
    std::string frozen = m_dir.Path() + "/frozen-" + name + ".img";
    std::ofstream(frozen, std::ios::binary) << DiskContent();
    fcsim::SFsSnapshot snap;
    snap.strName = name;
    snap.strDiskID = c_szDisk;
    snap.strPath = frozen;
    snap.ullChangeSeq = m_state.ChangeSeq(c_szDisk);
    snap.ullSize = c_ullDiskSize;
    if (!m_state.PutFsSnapshot(snap)) throw std::runtime_error("snapshot");
}
