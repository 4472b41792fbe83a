// The simulator's FusionStorage volume store and its fault rules, used directly.
#include <gtest/gtest.h>

#include <tuple>

#include "DiskFiles.h"
#include "DiskWatch.h"
#include "FsFaults.h"
#include "FsStateFixture.h"
#include "WzUtil.h"

using namespace fcsim;

namespace {

class VolumeStoreTest : public ::testing::Test {
protected:
    void SetConfig(uint64_t dataOffset, uint32_t blockSize, bool loop = false) {
        SFsToolsConfig config;
        config.ullDataOffset = dataOffset;
        config.nBitmapBlockSize = blockSize;
        config.bUseLoop = loop;
        ASSERT_TRUE(fx.Store().SetConfig(config));
    }
    // Which bitmap bytes are non-zero, as a string of '0' and '1'.
    std::string Marks(const std::string& name) {
        SFsVolume v;
        EXPECT_TRUE(fx.Store().Get(name, v));
        return CFsStateFixture::Marks(fctest::ReadWholeFile(v.strDataPath));
    }

    CFsStateFixture fx;
    std::string error;
};

}  // namespace

TEST_F(VolumeStoreTest, VolumeFromSnapshotKeepsTheFrozenDataAfterTheOffset) {
    SetConfig(4096, 512);
    fx.WriteDisk(0, "boot");
    fx.WriteDisk(700000, std::string(5000, 'x'));
    fx.Snapshot("snap-1");
    fx.WriteDisk(0, "LATE");  // after the snapshot: not in the volume
    const uint64_t size = 4096 + CFsStateFixture::c_ullDiskSize;

    EXPECT_EQ(fx.Store().CreateFromSnapshot("v", size - 1, "snap-1", error), FS_E_INVALID);
    EXPECT_EQ(fx.Store().CreateFromSnapshot("v", size, "no-snap", error), FS_E_NOT_FOUND);
    ASSERT_EQ(fx.Store().CreateFromSnapshot("v", size, "snap-1", error), FS_OK) << error;
    EXPECT_EQ(fx.Store().CreateFromSnapshot("v", size, "snap-1", error), FS_E_EXISTS);

    SFsVolume v;
    ASSERT_TRUE(fx.Store().Get("v", v));
    std::string data = fctest::ReadWholeFile(v.strDataPath);
    std::string expected(size, '\0');  // zeros before the offset and wherever nothing was written
    expected.replace(4096, 4, "boot");
    expected.replace(4096 + 700000, 5000, std::string(5000, 'x'));
    EXPECT_TRUE(data == expected);  // a megabyte: not printed
    uint64_t queried = 0;
    EXPECT_EQ(fx.Store().Query("v", queried, error), FS_OK);
    EXPECT_EQ(queried, size);
}

TEST_F(VolumeStoreTest, BitmapBetweenTwoSnapshotsMarksTheChangedChunks) {
    SetConfig(4096, 512);  // chunks of 4096 volume bytes; disk offset 0 is volume chunk 1
    fx.WriteDisk(0, "a");
    fx.Snapshot("s1");
    fx.WriteDisk(4096, "b");                                // chunk 2
    fx.WriteDisk(4096 * 4 - 1, "cd");                       // straddles chunks 4 and 5
    fx.WriteDisk(CFsStateFixture::c_ullDiskSize - 1, "z");  // the last chunk
    fx.Snapshot("s2");
    fx.WriteDisk(4096 * 8, "e");  // after s2: not marked

    ASSERT_EQ(fx.Store().CreateBitmap("bm", "s2", "s1", -1, error), FS_OK) << error;
    // (4096 + 1 MiB) / 4096 = 257 chunks, padded to 512 bytes.
    // (A ready bitmap's status and block size, and a not-ready one counting down:
    // FsToolsIntegrationTest.BitmapVolumeIsBuiltAwaitedAndRead.)
    EXPECT_EQ(Marks("bm"), CFsStateFixture::Marked({2, 4, 5, 256}));
}

TEST_F(VolumeStoreTest, BitmapWithoutOlderSnapshotMarksAllData) {
    SetConfig(0, 4096);                          // chunks of 32 KiB
    fx.WriteDisk(40000, "x");                    // chunk 1, journalled
    fx.WriteDisk(100000, std::string(1, '\0'));  // chunk 3, a journalled zero write
    fx.Snapshot("s1");
    // Data that was never journalled (a disk created with content) counts too.
    SFsSnapshot snap;
    ASSERT_TRUE(fx.State().GetFsSnapshot("s1", snap));
    ASSERT_TRUE(WriteAt(snap.strPath, 32768 * 20 + 5, "q", error)) << error;
    ASSERT_EQ(fx.Store().CreateBitmap("bm", "s1", "", -1, error), FS_OK) << error;
    EXPECT_EQ(Marks("bm"), CFsStateFixture::Marked({1, 3, 20}));
}

TEST_F(VolumeStoreTest, BitmapRefusals) {
    fx.Snapshot("s1");
    EXPECT_EQ(fx.Store().CreateBitmap("bm", "nope", "", -1, error), FS_E_NOT_FOUND);
    EXPECT_EQ(fx.Store().CreateBitmap("bm", "s1", "nope", -1, error), FS_E_NOT_FOUND);
    fx.WriteDisk(0, "x");
    fx.Snapshot("s2");
    EXPECT_EQ(fx.Store().CreateBitmap("bm", "s1", "s2", -1, error), FS_E_INVALID);  // reversed
    EXPECT_EQ(fx.Store().CreateBitmap("", "s2", "s1", -1, error), FS_E_INVALID);
    EXPECT_EQ(fx.Store().CreateBitmap(std::string(97, 'n'), "s2", "s1", -1, error), FS_E_INVALID);
    uint32_t status = 0, blockSize = 0;
    EXPECT_EQ(fx.Store().QueryBitmap("bm", status, blockSize, error), FS_E_NOT_FOUND);
}

TEST_F(VolumeStoreTest, AttachDetachDeleteWithoutLoopDevices) {
    SetConfig(0, 512, false);
    fx.Snapshot("s1");
    ASSERT_EQ(fx.Store().CreateFromSnapshot("v", CFsStateFixture::c_ullDiskSize, "s1", error),
              FS_OK);
    SFsVolume v;
    ASSERT_TRUE(fx.Store().Get("v", v));
    std::string device;
    ASSERT_EQ(fx.Store().Attach("v", device, error), FS_OK);
    EXPECT_EQ(device, v.strDataPath);
    std::string again;
    EXPECT_EQ(fx.Store().Attach("v", again, error), FS_OK);
    EXPECT_EQ(again, device);
    EXPECT_EQ(fx.Store().Delete("v", error), FS_E_BUSY);
    EXPECT_EQ(fx.Store().Detach("v", error), FS_OK);
    EXPECT_EQ(fx.Store().Detach("v", error), FS_OK);  // harmless twice
    EXPECT_EQ(fx.Store().Delete("v", error), FS_OK);  // (all gone then: FsToolsIntegrationTest)
    EXPECT_EQ(fx.Store().Delete("v", error), FS_E_NOT_FOUND);
    EXPECT_EQ(fx.Store().Detach("v", error), FS_E_NOT_FOUND);
}

TEST_F(VolumeStoreTest, DisksAreTheirOwnVolumes) {
    SetConfig(0, 512, false);
    uint64_t size = 0;
    EXPECT_EQ(fx.Store().Query(CFsStateFixture::c_szDiskVolume, size, error), FS_OK);
    EXPECT_EQ(size, CFsStateFixture::c_ullDiskSize);
    std::string device;
    ASSERT_EQ(fx.Store().Attach(CFsStateFixture::c_szDiskVolume, device, error), FS_OK);
    EXPECT_EQ(device, fx.State().DiskPath(CFsStateFixture::c_szDisk));
    EXPECT_EQ(fx.Store().Delete(CFsStateFixture::c_szDiskVolume, error), FS_E_UNSUPPORTED);
    EXPECT_EQ(fx.Store().Detach(CFsStateFixture::c_szDiskVolume, error), FS_OK);
    EXPECT_TRUE(fx.Store().List().empty());
    EXPECT_TRUE(CWzPath::Exists(fx.State().DiskPath(CFsStateFixture::c_szDisk)));

    // With a header in front of a volume's data, a disk file cannot stand for its volume.
    SetConfig(4096, 512, false);  // (its size then: FsToolsIntegrationTest.SnapshotVolume...)
    EXPECT_EQ(fx.Store().Attach(CFsStateFixture::c_szDiskVolume, device, error), FS_E_UNSUPPORTED);
    for (const char* notAVolume : {"disk-1", "fsvol-../disks/disk-1", "fsvol-", "fsvol-nope"}) {
        EXPECT_EQ(fx.Store().Query(notAVolume, size, error), FS_E_NOT_FOUND) << notAVolume;
    }
}

// Writes through the disk's attached volume (a loop device when the machine allows) go around
// the journal; the bitmaps still mark exactly the chunks they changed.
TEST_F(VolumeStoreTest, WritesThroughTheAttachedDiskVolumeAreJournalled) {
    SetConfig(0, 512, true);  // chunks of 4096 bytes
    fx.WriteDisk(0, std::string(3 * 4096, 'a'));
    fx.Snapshot("s1");
    std::string device;
    ASSERT_EQ(fx.Store().Attach(CFsStateFixture::c_szDiskVolume, device, error), FS_OK) << error;
    auto put = [&](uint64_t offset, const std::string& bytes) {
        EXPECT_TRUE(WriteAt(device, offset, bytes, error)) << error;
    };
    put(4096 + 10, "changed");              // chunk 1
    put(2 * 4096, std::string(4096, 'a'));  // chunk 2, rewritten as it was
    put(9 * 4096 - 2, "span");              // chunks 8 and 9
    fx.Snapshot("s2");                      // while attached
    put(200 * 4096, "late");                // chunk 200
    ASSERT_EQ(fx.Store().Detach(CFsStateFixture::c_szDiskVolume, error), FS_OK) << error;
    EXPECT_FALSE(CDiskWatch(fx.State()).Watched(CFsStateFixture::c_szDisk));
    fx.Snapshot("s3");

    ASSERT_EQ(fx.Store().CreateBitmap("b2", "s2", "s1", -1, error), FS_OK) << error;
    ASSERT_EQ(fx.Store().CreateBitmap("b3", "s3", "s2", -1, error), FS_OK) << error;
    EXPECT_EQ(Marks("b2"), CFsStateFixture::Marked({1, 8, 9}));
    EXPECT_EQ(Marks("b3"), CFsStateFixture::Marked({200}));
}

TEST_F(VolumeStoreTest, HostileNamesStayInsideTheStore) {
    fx.Snapshot("s1");
    const std::string names[] = {"../../escape", "a/b",       ".",        "..",
                                 "v; rm -rf /",  "new\nline", "v\"; $(x)"};
    for (const std::string& name : names) {
        ASSERT_EQ(fx.Store().CreateFromSnapshot(name, CFsStateFixture::c_ullDiskSize, "s1", error),
                  FS_OK)
            << name << ": " << error;
        std::string encoded = CFsVolumeStore::EncodeName(name);
        EXPECT_EQ(encoded.find_first_of("/.\n"), std::string::npos) << encoded;
    }
    std::vector<SFsVolume> all = fx.Store().List();
    ASSERT_EQ(all.size(), 7u);
    for (const SFsVolume& v : all) {
        EXPECT_EQ(v.strDataPath.compare(0, fx.Store().Folder().size(), fx.Store().Folder()), 0);
        EXPECT_EQ(fx.Store().Delete(v.strName, error), FS_OK) << v.strName;
    }
}

// Loop devices: FsToolsIntegrationTest.SnapshotVolumeIsCreatedAttachedReadDetachedAndDeleted
// reads a volume through one and detaches it. (A "notready" rule's query count:
// FsToolsIntegrationTest.BitmapVolumeIsBuiltAwaitedAndRead.)
TEST(FsFaults, RulesAndTheirCounts) {
    CFsStateFixture fx;
    CFsFaults faults(fx.StateDir());
    SFsFault f;
    EXPECT_FALSE(faults.Take("attach", f));  // no rule file
    for (const char* bad :
         {"op=attach action=explode", "op=attach action=exit status=x", "op=attach action=exit",
          "op=attach action=fail colour=red", "attach fail"})
        EXPECT_FALSE(faults.Add(bad)) << bad;
    ASSERT_TRUE(
        faults.Add(R"(op=attach action=fail times=2 ret_code=7 ret_desc="no path, sorry")"));
    ASSERT_TRUE(faults.Add("op=queryvolume action=exit status=3 times=0"));

    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(faults.Take("attach", f));
        EXPECT_EQ(std::tie(f.strAction, f.strRetCode, f.strRetDesc),
                  std::make_tuple("fail", "7", "no path, sorry"));
    }
    EXPECT_FALSE(faults.Take("attach", f));  // used up
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(faults.Take("queryvolume", f));  // stays
        EXPECT_EQ(f.nValue, 3);
    }

    // From the second run on, once. The counts live in the file, so every run (a process of
    // its own) sees the runs before it.
    ASSERT_TRUE(faults.Add("op=detach action=exit status=4 nth=2"));
    EXPECT_FALSE(CFsFaults(fx.StateDir()).Take("detach", f));
    EXPECT_TRUE(CFsFaults(fx.StateDir()).Take("detach", f));
    EXPECT_EQ(f.nValue, 4);
    EXPECT_FALSE(CFsFaults(fx.StateDir()).Take("detach", f));
    std::vector<SFsFault> listed = faults.List();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].window.nFired, 2u);  // spent, still listed
    EXPECT_EQ(listed[2].window.nSeen, 3u);
    EXPECT_EQ(listed[2].window.nFired, 1u);
    EXPECT_TRUE(faults.Clear());
    EXPECT_FALSE(faults.Take("queryvolume", f));
}
