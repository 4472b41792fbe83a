// Wildcards, CRC-32, tokenising and the other string and path helpers, GUIDs.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "CPathMatch.h"
#include "WzUtil.h"

namespace {
int Match(const std::string& pattern, const std::string& name, bool caseSensitive = true,
          bool wholeName = true, bool slashSeparates = false) {
    CPathMatch m;
    m.caseSensitive(caseSensitive);
    m.initialize(pattern, wholeName, slashSeparates);
    return m.match(name);
}
}  // namespace

// Whole-name, case-sensitive matches unless a case says otherwise.
TEST(PathMatchTest, WildcardsCaseAndSeparators) {
    // clang-format off
    const struct {
        const char *szPattern, *szName;
        int nExpected;
        bool bCase = true, bWhole = true, bSlash = false;
    } cases[] = {
        {"*", "", 1}, {"*", "anything at all", 1}, {"", "", 1}, {"", "x", 0},
        {"disk?", "disk1", 1}, {"disk?", "disk", 0}, {"disk?", "disk12", 0},
        {"data*", "data-disk", 1}, {"*disk", "data-disk", 1}, {"*-*-*", "a-b-c", 1},
        {"*-*-*", "a-b", 0}, {"a*b*c", "aXbYbZc", 1}, {"a*b*c", "aXbYbZ", 0},
        {"*a", "aaaaab", 0}, {"**a?", "ba-b", 0}, {"**a?", "bab", 1},
        // Characters that are special elsewhere are plain here.
        {"[abc].+", "[abc].+", 1}, {"[abc]", "a", 0},
        {"Disk*", "disk1", 0, true}, {"Disk*", "disk1", 1, false}, {"DISK?", "disk1", 1, false},
        // ASCII letters fold, other bytes do not.
        {"d\xC3\xA9*", "D\xC3\xA9X", 1, false}, {"d\xC3\xA9*", "d\xC3\x89X", 0, false},
        // Part-of-name matching.
        {"sk?", "my-disk1-data", 1, true, false}, {"sk?", "my-disk", 0, true, false},
        {"", "anything", 1, true, false},
        // With '/' as a separator, wildcards stay inside one component.
        {"a/*", "a/b/c", 1, true, true, false}, {"a/*", "a/b/c", 0, true, true, true},
        {"a/*/c", "a/b/c", 1, true, true, true}, {"a?b", "a/b", 0, true, true, true},
        {"*x/*y", "ax/by", 1, true, true, true}, {"*x/*y", "x/x/y", 0, true, true, true}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(Match(c.szPattern, c.szName, c.bCase, c.bWhole, c.bSlash), c.nExpected)
            << c.szPattern << " ~ " << c.szName;
    }
    // A pathological pattern finishes quickly.
    EXPECT_EQ(Match("*a*a*a*a*a*a*a*a*b", std::string(2000, 'a')), 0);

    CPathMatch fresh;
    EXPECT_EQ(fresh.match("x"), -1);
    fresh.initialize("ABC", true, false);
    EXPECT_EQ(fresh.match("abc"), 1) << "letter case is ignored until switched on";
    fresh.caseSensitive(true);
    EXPECT_EQ(fresh.match("abc"), 0);
}

TEST(Crc32Test, KnownVectors) {
    EXPECT_EQ(CWzCRC32::Compute("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(CWzCRC32::Compute("", 0), 0u);
    EXPECT_EQ(CWzCRC32::Compute("a", 1), 0xE8B7BE43u);
    EXPECT_EQ(CWzCRC32::Compute("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    // Fed in pieces, the register ends where one pass ends.
    CWzCRC32 crc;
    crc.Update("12345", 5);
    crc.Update("6789", 4);
    EXPECT_EQ(crc.Final(), 0xCBF43926u);
    EXPECT_EQ(crc.Register(), ~0xCBF43926u);
    crc.Reset();
    EXPECT_EQ(crc.Register(), 0xFFFFFFFFu);
    EXPECT_EQ(crc.Final(), 0u);
    unsigned char zeros[32] = {0};
    EXPECT_EQ(CWzCRC32::Compute(zeros, sizeof(zeros)), 0x190A55ADu);
}

TEST(StringTest, TokenizeOnOneCharacterOrWithQuotes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(CWzString("\\VMs\\site1\\folder").Tokenize('\\'), (V{"VMs", "site1", "folder"}));
    EXPECT_EQ(CWzString("VMs").Tokenize('\\'), (V{"VMs"}));
    EXPECT_EQ(CWzString("\\\\VMs\\\\site\\").Tokenize('\\'), (V{"VMs", "site"}));
    EXPECT_EQ(CWzString("\\").Tokenize('\\'), V{});
    EXPECT_EQ(CWzString("").Tokenize('\\'), V{});
    EXPECT_STREQ(CWzString(static_cast<const char*>(nullptr)).c_str(), "");

    CWzString line("ret_code=0,ret_desc=\"ok, done\",dev_addr=/dev/sdb,,");
    EXPECT_EQ(line.Tokenize(",", '"', '"', 0, false),
              (V{"ret_code=0", "ret_desc=ok, done", "dev_addr=/dev/sdb", "", ""}));
    EXPECT_EQ(line.Tokenize(",", '"', '"', 0, true),
              (V{"ret_code=0", "ret_desc=\"ok, done\"", "dev_addr=/dev/sdb", "", ""}));
    // (Keeping the quotes at the outer level lets an inner split respect them, and an inner
    // split cuts at every '=': FusionStorageParser.OutputGivesItsValues.)
    EXPECT_EQ(CWzString("x\\,y,z").Tokenize(",", '"', '"', '\\', false), (V{"x,y", "z"}));
    EXPECT_EQ(CWzString("\"open, never closed").Tokenize(",", '"', '"', 0, false),
              (V{"open, never closed"}));
    EXPECT_EQ(CWzString("").Tokenize(",", '"', '"', 0, false), V{});
}

TEST(StringTest, CompareSplitTrimFormat) {
    EXPECT_EQ(FXString::CompareNoCase("Xen", "XEN"), 0);
    EXPECT_EQ(FXString::CompareNoCase(std::string("xen"), std::string("Xen")), 0);
    EXPECT_NE(FXString::CompareNoCase(std::string("Xen"), std::string("XenServer")), 0);
    EXPECT_LT(FXString::CompareNoCase("a", "B"), 0);
    EXPECT_GT(FXString::CompareNoCase(std::string("b"), std::string("A")), 0);
    EXPECT_NE(FXString::CompareNoCase(std::string("a\0b", 3), std::string("a\0c", 3)), 0);
    EXPECT_EQ(FXString::CompareNoCase(nullptr, ""), 0);
    EXPECT_EQ(_stricmp("HOSTS", "hosts"), 0);
    EXPECT_NE(_stricmp("Hosts", "Host"), 0);

    using V = std::vector<std::string>;
    EXPECT_EQ(FXString::Split("a\nb\r\n\nc\n", "\n", 0), (V{"a", "b\r", "", "c", ""}));
    EXPECT_EQ(FXString::Split("a\nb\r\n\nc\n", "\n", FXString::FXSTRING_SPLIT_SKIP_EMPTY),
              (V{"a", "b\r", "c"}));
    EXPECT_EQ(FXString::Split("", "\n", 0), V{""});
    EXPECT_EQ(FXString::Split("a--b", "--", 0), (V{"a", "b"}));

    EXPECT_EQ(FXString::TrimRight("1.1.1.1,2.2.2.2,,", ","), "1.1.1.1,2.2.2.2");
    EXPECT_EQ(FXString::TrimRight("ip,\r", ","), "ip,\r");
    EXPECT_EQ(FXString::TrimRight(",,,", ","), "");
    EXPECT_EQ(FXString::Trim("  x y \t\n"), "x y");
    EXPECT_EQ(FXString::ToLower("AbC-1"), "abc-1");
    EXPECT_EQ(FXString::Format("%s-%04d", "vol", 7), "vol-0007");
    EXPECT_EQ(FXString::Format("%s", std::string(5000, 'z').c_str()).size(), 5000u);
}

TEST(PathTest, AppendExtensionAndParts) {
    EXPECT_EQ(CWzPath::Append("/opt/fc", "libNXFusionSphereSDK.so"),
              "/opt/fc/libNXFusionSphereSDK.so");
    EXPECT_EQ(CWzPath::Append("/opt/fc/", "/lib.so"), "/opt/fc/lib.so");
    EXPECT_EQ(CWzPath::Append("", "lib.so"), "lib.so");
    EXPECT_EQ(CWzPath::Append("/usr/lib64", ""), "/usr/lib64");
    std::string home = "/home/agent";
    FXPath::Append(home, "Huawei/FusionStorage");
    EXPECT_EQ(home, "/home/agent/Huawei/FusionStorage");

    // (An extension as it is spelt: MountTest.FullMountInformationListsRegisteredDisks...)
    EXPECT_EQ(CWzPath::GetExt("a.tar.gz"), "gz");
    EXPECT_EQ(CWzPath::GetExt("/a.b/noext"), "");
    EXPECT_EQ(CWzPath::GetExt(".profile"), "");
    EXPECT_EQ(CWzPath::GetFileName("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(CWzPath::GetFileName("/a/b/"), "b");
    EXPECT_EQ(CWzPath::GetDirectory("/a/b/c"), "/a/b");
    EXPECT_EQ(CWzPath::GetDirectory("/c"), "/");
    EXPECT_EQ(CWzPath::GetDirectory("c"), "");
}

TEST(GuidTest, FreshVersion4Guids) {
    const std::regex version4(
        "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string guid = CreateGuid();
        EXPECT_TRUE(std::regex_match(guid, version4)) << guid;
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 200u);
}
