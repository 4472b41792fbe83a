// The service's pieces on their own: bitmaps, globs, sparse copies, the OVF reader.
#include <gtest/gtest.h>

#include <filesystem>

#include "DiskFiles.h"
#include "Faults.h"
#include "Ovf.h"
#include "TempDir.h"

namespace {

using fcsim::CBlockBitmap;

TEST(SimPieces, BitmapHexIsMostSignificantBitFirst) {
    CBlockBitmap b(10 * 65536 + 1);  // 11 blocks, the last one byte long
    EXPECT_EQ(b.Bits(), 11u);
    b.SetRange(0, 1);
    b.SetRange(65536, 65537);  // blocks 1 and 2
    b.SetRange(10 * 65536, 1);
    b.SetRange(11 * 65536, 100);  // past the end: ignored
    b.SetRange(5, 0);             // empty: nothing
    uint64_t bits = 0, ones = 0;
    EXPECT_EQ(b.Hex(0, 0, bits, ones), "E02");
    EXPECT_EQ(bits, 11u);
    EXPECT_EQ(ones, 4u);
    EXPECT_EQ(b.Hex(8, 8, bits, ones), "2");  // cut at the end: blocks 8..10
    EXPECT_EQ(bits, 3u);
    EXPECT_EQ(b.Hex(16, 8, bits, ones), "");
    EXPECT_EQ(bits, 0u);
    CBlockBitmap wrap(1 << 20);
    wrap.SetRange(UINT64_MAX - 10, 100);  // wraps around: must not loop or crash
    wrap.Hex(0, 0, bits, ones);
    EXPECT_EQ(ones, 0u);
}

// Which calls a rule fires on: FaultWindow.* (CFaultTable::Match counts through FireFirst) and
// FaultTest.RulesFireOnTheNthCallAndSpendThemselves (rules of one operation only).
TEST(SimPieces, GlobMatchesWithinAndAcrossSegments) {
    using fcsim::CFaultTable;
    EXPECT_TRUE(CFaultTable::GlobMatch("/service/sites/*/vms", "/service/sites/AB/vms"));
    EXPECT_FALSE(CFaultTable::GlobMatch("/service/sites/*/vms", "/service/sites/A/B/vms"));
    EXPECT_TRUE(
        CFaultTable::GlobMatch("/service/**/snapshots", "/service/sites/A/vms/i-1/snapshots"));
    EXPECT_FALSE(CFaultTable::GlobMatch("/service/**/snapshots", "/service/sites/A/vms"));
    EXPECT_TRUE(CFaultTable::GlobMatch("*", "abc"));
    EXPECT_FALSE(CFaultTable::GlobMatch("a*c", "a/c"));
}

TEST(SimPieces, SparseCopyKeepsHolesAndData) {
    CTempDir dir;
    std::string src = dir.File("a.img"), dst = dir.File("b.img"), err;
    ASSERT_TRUE(fcsim::CreateSparseFile(src, 256ull << 20, err)) << err;
    ASSERT_TRUE(fcsim::WriteAt(src, 100ull << 20, std::string(8192, 'q'), err)) << err;
    ASSERT_TRUE(fcsim::WriteAt(src, (256ull << 20) - 3, "end", err)) << err;
    // (A copy's size and holes:
    // CDiskFixture.SnapshotFreezesContentKeepsHolesAndListsAllocatedBlocks.)
    ASSERT_TRUE(fcsim::CopySparse(src, dst, err)) << err;
    std::vector<std::pair<uint64_t, uint64_t>> ext;
    ASSERT_TRUE(fcsim::DataExtents(dst, ext, err)) << err;
    ASSERT_EQ(ext.size(), 2u);
    EXPECT_LE(ext[0].first, 100ull << 20);
    EXPECT_GE(ext[0].first + ext[0].second, (100ull << 20) + 8192);
    EXPECT_EQ(ext[1].first + ext[1].second, 256ull << 20);
    EXPECT_FALSE(fcsim::CopySparse(dir.File("missing"), dst + "2", err));
    EXPECT_FALSE(std::filesystem::exists(dst + "2"));
}

TEST(SimPieces, OvfReaderRefusesWhatItCannotTrust) {
    fcsim::SOvfVm vm;
    std::string err;
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "<a>";
    EXPECT_FALSE(fcsim::ParseOvf("<Envelope>" + deep, vm, err));
    EXPECT_FALSE(fcsim::ParseOvf("<Envelope><x a=\"&bogus;\"/></Envelope>", vm, err));
    EXPECT_FALSE(fcsim::ParseOvf("<Other/>", vm, err));
    EXPECT_FALSE(fcsim::ParseOvf("<Envelope></Envelope>", vm, err));  // no VirtualSystem
    EXPECT_FALSE(fcsim::ParseOvf(std::string(5u << 20, ' '), vm, err));
    std::string ok =
        "<?xml version=\"1.0\"?><!-- c --><Envelope xmlns:ovf=\"x\"><References>"
        "<File ovf:id=\"f1\" ovf:href=\"u-1\"/></References><DiskSection>"
        "<Disk ovf:diskId=\"d1\" ovf:fileRef=\"f1\" ovf:capacity=\"4096\"/></DiskSection>"
        "<VirtualSystem ovf:id=\"v\"><Name>A &amp; B</Name><VirtualHardwareSection><Item>"
        "<rasd:ResourceType>17</rasd:ResourceType><rasd:HostResource>ovf:/disk/d1"
        "</rasd:HostResource><rasd:AddressOnParent>3</rasd:AddressOnParent></Item>"
        "</VirtualHardwareSection></VirtualSystem></Envelope>";
    ASSERT_TRUE(fcsim::ParseOvf(ok, vm, err)) << err;
    EXPECT_EQ(vm.strName, "A & B");
    ASSERT_EQ(vm.vecDisks.size(), 1u);
    EXPECT_EQ(vm.vecDisks[0].strHref, "u-1");
    EXPECT_EQ(vm.vecDisks[0].nSequenceNum, 3);
    EXPECT_EQ(vm.vecDisks[0].ullCapacity, 4096u);
}

}  // namespace
