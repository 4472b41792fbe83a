// The process runner: exit status, complete capture of output, standard error kept or left.
#include <gtest/gtest.h>

#include "NxProcess.h"
#include "TempDir.h"
#include "WzUtil.h"

TEST(ProcessTest, StatusStreamsLargeOutputInputAndDescriptors) {
    std::string out, err;
    EXPECT_EQ(NxProcess::system("true", out, err), 0);
    EXPECT_EQ(NxProcess::system("exit 255", out, err), 255);
    EXPECT_EQ(NxProcess::system("kill -TERM $$", out, err), 128 + 15);

    EXPECT_EQ(NxProcess::system("echo to-out; echo to-err >&2; exit 7", out, err), 7);
    EXPECT_EQ(out, "to-out\n");
    EXPECT_EQ(err, "to-err\n");

    // The output strings are replaced, not appended to.
    EXPECT_EQ(NxProcess::system("printf 'a,b'", out, err), 0);
    EXPECT_EQ(out, "a,b");
    EXPECT_EQ(err, "");
    // Standard error may be left to the caller.
    err = "stale";
    EXPECT_EQ(NxProcess::system("echo visible; echo hidden >&2", out, err, 0, false), 0);
    EXPECT_EQ(out, "visible\n");
    EXPECT_EQ(err, "");

    // Shell syntax is available: a change of folder, ';' and quoting.
    CTempDir dir;
    dir.Write("x y.txt", "content");
    std::string command = "cd '" + dir.Path() + "'; cat \"x y.txt\"";
    EXPECT_EQ(NxProcess::system(command, out, err), 0);
    EXPECT_EQ(out, "content");

    EXPECT_EQ(NxProcess::system("no-such-command-fcfw", out, err), 127);
    EXPECT_NE(err.find("not found"), std::string::npos) << err;

    // 3 MiB on standard output and 1 MiB on standard error at the same time: a runner that
    // drains one pipe after the other would deadlock or cut one of them short.
    int status = NxProcess::system(
        "head -c 1048576 /dev/zero | tr '\\0' 'e' >&2 & "
        "i=0; while [ $i -lt 3 ]; do head -c 1048576 /dev/zero | tr '\\0' 'o'; i=$((i+1)); done; "
        "wait",
        out, err);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(out.size(), 3u * 1048576u);
    ASSERT_EQ(err.size(), 1048576u);
    EXPECT_EQ(out.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(err.find_first_not_of('e'), std::string::npos);

    EXPECT_EQ(NxProcess::system("printf 'a\\000b\\377'", out, err), 0);
    EXPECT_EQ(out, std::string("a\0b\xff", 4));

    // A child reading its input must not hang on the caller's terminal.
    EXPECT_EQ(NxProcess::system("cat; echo done", out, err), 0);
    EXPECT_EQ(out, "done\n");

    CWzFile file;
    ASSERT_TRUE(file.Open(dir.File("held"), "wb").Success());
    std::string fdPath = "/proc/self/fd/" + std::to_string(file.Fd());
    EXPECT_EQ(NxProcess::system("test -e " + fdPath, out, err), 1) << "descriptor leaked";
}
