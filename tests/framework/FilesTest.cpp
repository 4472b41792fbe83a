// Files, folders and the disk reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "CPhysicalDiskReader.h"
#include "TempDir.h"
#include "WzUtil.h"

TEST(FilesTest, DirectoryWalkListsEachFileOnce) {
    CTempDir dir;
    std::string root = dir.Path();
    dir.Write("java", "1");
    dir.Write("jre8/bin/java", "2");
    dir.Write("jre11/bin/java", "3");
    dir.Write("jre11/bin/javac", "4");
    dir.Write("deep/a/b/c/java", "5");
    dir.Write(".hidden/java", "6");
    ASSERT_EQ(::mkdir(dir.File("java-dir").c_str(), 0755), 0);  // a folder named like the file
    ASSERT_EQ(::mkdir(dir.File("jre8/bin/java.d").c_str(), 0755), 0);
    // A link back up the tree must neither loop nor list files twice; a link to a file counts
    // as that file.
    ASSERT_EQ(::symlink(root.c_str(), dir.File("deep/loop").c_str()), 0);
    ASSERT_EQ(::symlink(dir.File("java").c_str(), dir.File("deep/linked").c_str()), 0);

    std::vector<std::string> files;
    ASSERT_TRUE(GetFilesListOfFolder(root, "java", true, files));
    std::vector<std::string> expected = {dir.File(".hidden/java"), dir.File("deep/a/b/c/java"),
                                         dir.File("java"), dir.File("jre11/bin/java"),
                                         dir.File("jre8/bin/java")};
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected);

    // Six files and the link to a file, each once; no folder, "." or "..".
    files.clear();
    ASSERT_TRUE(GetFilesListOfFolder(root, "*", true, files));
    expected.insert(expected.begin() + 2, dir.File("deep/linked"));
    expected.insert(expected.end() - 1, dir.File("jre11/bin/javac"));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected);

    files.clear();
    ASSERT_TRUE(GetFilesListOfFolder(root, "java", false, files));
    EXPECT_EQ(files, std::vector<std::string>{dir.File("java")});

    files.clear();
    EXPECT_FALSE(GetFilesListOfFolder(dir.File("missing"), "java", true, files));
    EXPECT_FALSE(GetFilesListOfFolder(dir.File("java"), "java", true, files));
    EXPECT_TRUE(files.empty());
}

TEST(FilesTest, DirectoryReaderBehavesLikeFindFirstFindNext) {
    CTempDir dir;
    dir.Write("b.json", "{}");
    dir.Write("a.ovf", "<ovf/>");
    dir.Write(".dot", "");
    ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0755), 0);

    CWzDirectory reader;
    // Every entry up to the end as "name size", a folder's name ending in '/'.
    auto list = [&](bool filesOnly) {
        std::vector<std::string> names;
        SWzDirEntry entry;
        bool end = false;
        EXPECT_TRUE(reader.Open(dir.Path(), "*", filesOnly).Success());
        while (reader.GetEntry(entry, end).Success() && !end) {
            EXPECT_EQ(entry.strFullPath, dir.File(entry.strName));
            names.push_back(entry.strName + (entry.bIsDirectory ? "/ " : " ") +
                            std::to_string(entry.ullSize));
        }
        EXPECT_TRUE(end);
        EXPECT_TRUE(entry.strName.empty()) << "the end is never reported with a real entry";
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(list(true), (V{".dot 0", "a.ovf 6", "b.json 2"}));
    EXPECT_EQ(list(false), (V{".dot 0", "a.ovf 6", "b.json 2", "sub/ 0"}));

    SWzDirEntry entry;
    bool end = true;
    ASSERT_TRUE(reader.Open(dir.Path(), "*.vmdk", true).Success());
    CWzError e = reader.GetEntry(entry, end);
    EXPECT_EQ(e.Status(), WZ_E_NOT_FOUND);

    e = reader.Open(dir.File("missing"), "*", true);
    EXPECT_TRUE(e.IsError());
    EXPECT_NE(std::string(e.AsString()).find("missing"), std::string::npos) << e.AsString();
}

TEST(FilesTest, FirstFileByExtension) {
    CTempDir dir;
    std::string path = "untouched";
    EXPECT_FALSE(GetFirstFileByExtension(dir.Path(), "ovf", path));
    EXPECT_EQ(path, "untouched");
    dir.Write("zz.OVF", "2");
    dir.Write("aa.ovf.bak", "0");
    dir.Write("mm.ovf", "1");
    ASSERT_EQ(::mkdir(dir.File("dir.ovf").c_str(), 0755), 0);
    EXPECT_TRUE(GetFirstFileByExtension(dir.Path(), "ovf", path));
    EXPECT_EQ(path, dir.File("mm.ovf"));
    EXPECT_TRUE(GetFirstFileByExtension(dir.Path(), ".OvF", path));
    EXPECT_EQ(path, dir.File("mm.ovf"));
    // (Another extension only: RestoreTest.MissingJsonDescriptorAfterTheVMWasCreatedGives21.)
    EXPECT_FALSE(GetFirstFileByExtension(dir.File("nowhere"), "ovf", path));
}

TEST(FilesTest, WholeFileRoundTripAndReplacement) {
    CTempDir dir;
    std::string path = dir.File("cfg.json");
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    std::string back;
    for (const std::string& text : {data, std::string("short"), std::string()}) {
        ASSERT_TRUE(WriteWholeFile(path, text));
        ASSERT_TRUE(ReadWholeFile(path, back));
        EXPECT_EQ(back, text);
    }
    // No temporary file is left beside it.
    std::vector<std::string> files;
    ASSERT_TRUE(GetFilesListOfFolder(dir.Path(), "*", false, files));
    EXPECT_EQ(files, std::vector<std::string>{path});

    CWzError error;
    back = "stale";
    EXPECT_FALSE(ReadWholeFile(dir.File("missing"), back, &error));
    EXPECT_EQ(back, "");
    EXPECT_EQ(error.SysError(), ENOENT);
    EXPECT_FALSE(WriteWholeFile(dir.File("no/such/folder/x"), "x", &error));
    EXPECT_TRUE(error.IsError());
    // (A file's size, and a file that is gone: MountTest.FullMountInformationListsRegistered...)
}

TEST(FilesTest, RootFolderIsRecognisedHoweverSpelt) {
    CTempDir dir;
    ASSERT_EQ(::symlink("/", dir.File("to-root").c_str()), 0);
    for (const std::string& root :
         std::vector<std::string>{"/", "//", "/.", "/./", "/..", "/tmp/..", "/no-such-dir/..",
                                  "/a/b/../../", dir.File("to-root"), dir.File("to-root/")}) {
        EXPECT_TRUE(FXPath::IsRootFolder(root)) << root;
    }
    for (const std::string& other : std::vector<std::string>{"", "/tmp", "/no-such-dir", "/a/b/..",
                                                             "relative/..", dir.Path()}) {
        EXPECT_FALSE(FXPath::IsRootFolder(other)) << other;
    }
}

TEST(FilesTest, DiskReaderOnSparseFile) {
    CTempDir dir;
    std::string path = dir.File("disk.img");
    const uint64_t size = 8ull << 30;  // 8 GiB, sparse: only two blocks hold data
    {
        CWzFile file;
        ASSERT_TRUE(file.Open(path, "wb").Success());
        ASSERT_TRUE(file.WriteAt(4096, "HEAD", 4).Success());
        ASSERT_TRUE(file.WriteAt(size - 4, "TAIL", 4).Success());
    }
    CPhysicalDiskReader reader;
    ASSERT_TRUE(reader.Open(path, false).Success());
    EXPECT_EQ(reader.GetDiskSize(), size);
    EXPECT_FALSE(reader.IsBlockDevice());

    char buffer[8] = {0};
    ASSERT_TRUE(reader.Read(4094, buffer, 8).Success());
    EXPECT_EQ(std::string(buffer, 8), std::string("\0\0HEAD\0\0", 8));
    ASSERT_TRUE(reader.Read(size - 4, buffer, 4).Success());
    EXPECT_EQ(std::string(buffer, 4), "TAIL");
    ASSERT_TRUE(reader.Read(size, buffer, 0).Success());
    EXPECT_EQ(reader.Read(size - 3, buffer, 4).Status(), WZ_E_OUT_OF_RANGE);
    EXPECT_EQ(reader.Read(UINT64_MAX - 1, buffer, 4).Status(), WZ_E_OUT_OF_RANGE);
    EXPECT_TRUE(reader.Write(0, "x", 1).IsError()) << "read-only reader wrote";
    EXPECT_TRUE(reader.SetSectorSize(4096).Success());
    EXPECT_TRUE(reader.SetSectorSize(1000).IsError());
    EXPECT_EQ(reader.GetSectorSize(), 4096u);

    ASSERT_TRUE(reader.Open(path, true).Success());
    ASSERT_TRUE(reader.Write(1ull << 32, "MID", 3).Success());
    EXPECT_EQ(reader.Write(size - 1, "XY", 2).Status(), WZ_E_OUT_OF_RANGE);
    ASSERT_TRUE(reader.Close().Success());
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_TRUE(reader.Read(0, buffer, 1).IsError());

    CWzFile check;
    ASSERT_TRUE(check.Open(path, "rb").Success());
    ASSERT_TRUE(check.ReadAt(1ull << 32, buffer, 3).Success());
    EXPECT_EQ(std::string(buffer, 3), "MID");
    uint64_t fileSize = 0;
    ASSERT_TRUE(check.GetSize(fileSize).Success());
    EXPECT_EQ(fileSize, size) << "writing changed the image's size";
    EXPECT_EQ(check.ReadAt(size - 2, buffer, 4).Status(), WZ_E_CLOSED);

    EXPECT_TRUE(reader.Open(dir.Path(), false).IsError()) << "a folder is not a disk";
    EXPECT_TRUE(reader.Open(dir.File("missing"), false).IsError());
}
