// The runner against recording stand-ins: the exact command lines (as logged, and as the
// tools receive them), the handling of the tools' answers, and hostile names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "EvDebug.h"
#include "FsFakeTools.h"
#include "FusionStorageCLI.h"
#include "WzUtil.h"

namespace {

const char* const c_szClassPathOption =
    "-classpath \".:dsware-api-V100R006C00.jar:log4j-1.2.16.jar\" VrmVBSTools";

// A runner that uses the stand-ins, not yet initialised.
class FusionStorageCLIInit : public ::testing::Test {
protected:
    void SetUp() override { tools.Prepare(cli); }

    // The command line as the runner logged it.
    std::string Executed() const {
        for (const SEvLogLine& line : log.Lines()) {
            if (line.strText.compare(0, 11, "Executing: ") == 0) return line.strText.substr(11);
        }
        return std::string();
    }
    std::string JavaLine(const std::string& arguments) const {
        return "cd " + tools.ToolsDir() + "; " + tools.GreatestJava() + " " + c_szClassPathOption +
               " --mngIp \"10.0.0.1,10.0.0.2\" --dsaIp \"192.168.0.9\" " + arguments;
    }
    std::vector<std::string> JavaArgs(std::vector<std::string> operation) const {
        std::vector<std::string> args = {
            "-classpath",        ".:dsware-api-V100R006C00.jar:log4j-1.2.16.jar",
            "VrmVBSTools",       "--mngIp",
            "10.0.0.1,10.0.0.2", "--dsaIp",
            "192.168.0.9"};
        args.insert(args.end(), operation.begin(), operation.end());
        return args;
    }

    CFsFakeTools tools;
    CFusionStorageCLI cli;
    EvLogCapture log;
};

// An initialised runner, with the initialisation's runs and lines forgotten.
class FusionStorageCLITest : public FusionStorageCLIInit {
protected:
    void SetUp() override {
        FusionStorageCLIInit::SetUp();
        ASSERT_TRUE(cli.Initialize("192.168.0.9", "10.0.0.1,10.0.0.2")) << log.Dump();
        tools.ClearRuns();
        log.Clear();
    }
};

}  // namespace

TEST_F(FusionStorageCLIInit, RunsBothHelpCommandsFromTheToolsFolder) {
    ASSERT_TRUE(cli.Initialize("192.168.0.9", "10.0.0.1,10.0.0.2")) << log.Dump();
    EXPECT_EQ(cli.GetJavaPath(), tools.GreatestJava());
    EXPECT_EQ(cli.GetToolsDirectory(), tools.ToolsDir());
    EXPECT_EQ(log.Count("Executing: vbs_cli -help"), 2u);  // object log and shared log
    EXPECT_EQ(log.Count("Executing: " + JavaLine("--help")), 2u) << log.Dump();
    EXPECT_EQ(tools.VbsCliArgs(), std::vector<std::string>({"-help"}));
    EXPECT_EQ(tools.JavaArgs(), JavaArgs({"--help"}));
    EXPECT_EQ(tools.JavaCwd(), tools.ToolsDir());
    EXPECT_TRUE(log.Contains("CLI initialization complete"));
}

TEST_F(FusionStorageCLIInit, FailingHelpCommands) {
    tools.SetVbsCli("usage trouble\n", 3);
    EXPECT_FALSE(cli.Initialize("192.168.0.9", "10.0.0.1"));
    EXPECT_TRUE(log.Contains("help command failed"));
    EXPECT_TRUE(log.Contains("Failed to execute command [vbs_cli -help], 3\nusage trouble\n"));
    EXPECT_EQ(tools.JavaRuns(), 0);  // never reached

    log.Clear();
    tools.SetVbsCli("", 0);  // the help text is not looked at
    tools.SetJava("Exception in thread \"main\"\n", 1);
    EXPECT_FALSE(cli.Initialize("192.168.0.9", "10.0.0.1"));
    EXPECT_TRUE(log.Contains("help command failed"));
    EXPECT_FALSE(log.Contains("CLI initialization complete"));
}

TEST_F(FusionStorageCLIInit, FindJava) {
    EXPECT_EQ(cli.FindJava(), tools.GreatestJava());

    // No runtime below the search folder: the system Java when present, else nothing.
    cli.SetJavaSearchFolder(tools.Dir() + "/empty");
    EXPECT_EQ(cli.FindJava(), "");
    cli.SetSystemJava(tools.Dir() + "/bin/java");
    EXPECT_EQ(cli.FindJava(), tools.Dir() + "/bin/java");
}

TEST_F(FusionStorageCLIInit, NoJavaFoundRunsJavaFromThePath) {
    cli.SetJavaSearchFolder(tools.Dir() + "/empty");
    ASSERT_TRUE(cli.Initialize("192.168.0.9", "10.0.0.1")) << log.Dump();
    EXPECT_EQ(cli.GetJavaPath(), "java");
    EXPECT_TRUE(log.Contains("Executing: cd " + tools.ToolsDir() + "; java -classpath"));
    EXPECT_EQ(tools.JavaRuns(), 1);  // the one in bin/, first on PATH
}

TEST_F(FusionStorageCLIInit, NoAgentHomeIsRefused) {
    ::setenv("FC_AGENT_HOME", "", 1);  // restored by tools
    EXPECT_FALSE(cli.Initialize("192.168.0.9", "10.0.0.1"));
    EXPECT_EQ(tools.JavaRuns(), 0);
    EXPECT_EQ(tools.VbsCliRuns(), 0);
}

TEST_F(FusionStorageCLITest, VbsCliCommandLines) {
    std::string device;
    uint64_t size = 1;
    struct {
        std::function<bool()> run;
        std::string line;
    } cases[] = {
        {[&] { return cli.AttachVolume("vol-1", device); }, "vbs_cli -c attach -v vol-1"},
        {[&] { return cli.DetatchVolume("vol-1"); }, "vbs_cli -c detach -v vol-1"},
        {[&] { return cli.DeleteVolume("vol-1"); }, "vbs_cli -c deletevolume -v vol-1"},
        {[&] { return cli.QueryVolume("vol-1", size); }, "vbs_cli -c queryvolume -v vol-1"},
    };
    for (auto& c : cases) {
        log.Clear();
        EXPECT_TRUE(c.run()) << log.Dump();
        EXPECT_EQ(Executed(), c.line);
        std::vector<std::string> words;
        for (size_t p = 8, q; p < c.line.size(); p = q + 1) {
            q = c.line.find(' ', p);
            if (q == std::string::npos) q = c.line.size();
            words.push_back(c.line.substr(p, q - p));
        }
        EXPECT_EQ(tools.VbsCliArgs(), words);
    }
    EXPECT_EQ(tools.VbsCliRuns(), 4);
}

TEST_F(FusionStorageCLITest, VrmVbsToolsCommandLines) {
    EXPECT_TRUE(
        cli.CreateVolumeFromSnapshot("__VQ_BACKUP__vol-1-snap-1", "snap-1", 10737418240ull));
    EXPECT_EQ(Executed(), JavaLine("--op createVolumeFromSnap --volName "
                                   "\"__VQ_BACKUP__vol-1-snap-1\" --volSize 10737418240 "
                                   "--snapNameSrc \"snap-1\" "));
    EXPECT_EQ(tools.JavaArgs(),
              JavaArgs({"--op", "createVolumeFromSnap", "--volName", "__VQ_BACKUP__vol-1-snap-1",
                        "--volSize", "10737418240", "--snapNameSrc", "snap-1"}));
    EXPECT_EQ(tools.JavaCwd(), tools.ToolsDir());

    // With an older snapshot there are two blanks before its option.
    log.Clear();
    EXPECT_TRUE(cli.CreateBitmapVolume("snap-2-bitmap", "snap-1", "snap-2"));
    EXPECT_EQ(Executed(), JavaLine("--op createBitmapVolume --volName \"snap-2-bitmap\" "
                                   "--snapNameTo \"snap-2\"  --snapNameFrom \"snap-1\" "));
    EXPECT_EQ(tools.JavaArgs(),
              JavaArgs({"--op", "createBitmapVolume", "--volName", "snap-2-bitmap", "--snapNameTo",
                        "snap-2", "--snapNameFrom", "snap-1"}));

    log.Clear();
    EXPECT_TRUE(cli.CreateBitmapVolume("snap-2-bitmap", "", "snap-2"));
    EXPECT_EQ(Executed(), JavaLine("--op createBitmapVolume --volName \"snap-2-bitmap\" "
                                   "--snapNameTo \"snap-2\" "));

    log.Clear();
    tools.SetJava("status=0,block_size=512\n");
    uint32_t status = 9;
    uint32_t blockSize = 0;
    EXPECT_TRUE(cli.QueryBitmapVolume("snap-2-bitmap", status, blockSize));
    EXPECT_EQ(Executed(), JavaLine("--op queryBitmapVolume --volName \"snap-2-bitmap\" "));
    EXPECT_EQ(tools.JavaArgs(),
              JavaArgs({"--op", "queryBitmapVolume", "--volName", "snap-2-bitmap"}));
}

TEST_F(FusionStorageCLITest, AttachAnswers) {
    std::string device;
    tools.SetVbsCli("ret_code=0,ret_desc=success,dev_addr=/dev/sdb\n");
    EXPECT_TRUE(cli.AttachVolume("vol-1", device));
    EXPECT_EQ(device, "/dev/sdb");

    // A result code of 1 is logged as an error with its description.
    device = "unchanged";
    tools.SetVbsCli("ret_code=1,ret_desc=\"volume not found, sorry\"\n");
    EXPECT_FALSE(cli.AttachVolume("vol-1", device));
    EXPECT_EQ(device, "unchanged");
    EXPECT_TRUE(FsLoggedError(log, "vbs attach reported failure [1] [volume not found, sorry]"))
        << log.Dump();

    // Success without a device: an empty path, and true.
    tools.SetVbsCli("ret_code=0\n");
    EXPECT_TRUE(cli.AttachVolume("vol-1", device));
    EXPECT_EQ(device, "");
}

TEST_F(FusionStorageCLITest, VbsCliFailures) {
    // Nothing printed: a failure, before any result code is looked at.
    tools.SetVbsCli("", 0);
    EXPECT_FALSE(cli.DetatchVolume("vol-1"));
    EXPECT_FALSE(log.Contains("reported failure"));

    // No result code: a failure, logged with empty codes.
    tools.SetVbsCli("ret_desc_missing\n");
    EXPECT_FALSE(cli.DetatchVolume("vol-1"));
    EXPECT_TRUE(log.Contains("vbs detach reported failure [] []"));

    // A result code that is not exactly "0".
    tools.SetVbsCli("ret_code=00,ret_desc=odd\n");
    EXPECT_FALSE(cli.DeleteVolume("vol-1"));
    EXPECT_TRUE(log.Contains("vbs delete volume reported failure [00] [odd]"));

    // A failing run is logged with its status and output on both logs.
    log.Clear();
    tools.SetVbsCli("ret_code=0\nbroken pipe\n", 2);
    EXPECT_FALSE(cli.DeleteVolume("vol-1"));
    EXPECT_EQ(log.Count("Failed to execute command [vbs_cli -c deletevolume -v vol-1], 2\n"
                        "ret_code=0\nbroken pipe\n"),
              2u)
        << log.Dump();
}

TEST_F(FusionStorageCLITest, QueryVolumeSizes) {
    uint64_t size = 0;
    tools.SetVbsCli("ret_code=0,ret_desc=success,vol_size=10737422336\n");
    EXPECT_TRUE(cli.QueryVolume("vol-1", size));
    EXPECT_EQ(size, 10737422336ull);

    for (const char* odd : {"ret_code=0,vol_size=12ab\n", "ret_code=0\n"}) {
        size = 7;
        tools.SetVbsCli(odd);
        EXPECT_TRUE(cli.QueryVolume("vol-1", size)) << odd;
        EXPECT_EQ(size, 0u) << odd;
    }
    tools.SetVbsCli("ret_code=5,ret_desc=gone\n");
    EXPECT_FALSE(cli.QueryVolume("vol-1", size));
    EXPECT_TRUE(log.Contains("vbs query volume reported failure [5] [gone]"));
}

TEST_F(FusionStorageCLITest, QueryBitmapVolumeAnswers) {
    uint32_t status = 9;
    uint32_t blockSize = 9;
    // No status and no block size: both 0, ready. The result code is not examined.
    tools.SetJava("ret_code=1\n");
    EXPECT_TRUE(cli.QueryBitmapVolume("b", status, blockSize));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(blockSize, 0u);
    EXPECT_TRUE(log.Contains("Status = 0, BlockSize = 0"));

    tools.SetJava("INFO  started\nstatus=1,block_size=512\n");
    EXPECT_TRUE(cli.QueryBitmapVolume("b", status, blockSize));
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(blockSize, 512u);

    // A status that is there but unreadable is not taken for "ready".
    for (const char* bad : {"status=ready,block_size=512\n", "status=0,block_size=4294967296\n"}) {
        tools.SetJava(bad);
        EXPECT_FALSE(cli.QueryBitmapVolume("b", status, blockSize)) << bad;
    }
    tools.SetJava("status=0\n", 1);
    EXPECT_FALSE(cli.QueryBitmapVolume("b", status, blockSize));
}

TEST_F(FusionStorageCLITest, VrmVbsToolsWithoutParsingTrustsTheExitStatus) {
    tools.SetJava("ERROR something went wrong\nret_code=1\n", 0);
    EXPECT_TRUE(cli.ExecuteVrmVbsToolsCommand("--op whatever"));
    EXPECT_TRUE(cli.CreateVolumeFromSnapshot("v", "s", 1));
    tools.SetJava("", 1);
    EXPECT_FALSE(cli.CreateVolumeFromSnapshot("v", "s", 1));
    EXPECT_FALSE(cli.CreateBitmapVolume("v", "", "s"));
    CFusionStorageCLI::ValueMap values;
    tools.SetJava("", 0);
    EXPECT_TRUE(cli.ExecuteVrmVbsToolsCommand("--op whatever", true, values));
    EXPECT_TRUE(values.empty());
}

// No name, however hostile, runs a command: each arrives as exactly one argument, unchanged.
TEST_F(FusionStorageCLITest, HostileNamesRunNothing) {
    const std::string pwned = tools.Dir() + "/pwned";
    const std::string names[] = {
        "v; touch " + pwned,
        "$(touch " + pwned + ")",
        "`touch " + pwned + "`",
        "v\"; touch " + pwned + "; echo \"",
        "v' ; touch " + pwned + " ; '",
        "v\ntouch " + pwned,
        "v && touch " + pwned,
        "v\\",
    };
    for (const std::string& name : names) {
        std::string device;
        uint64_t size = 0;
        EXPECT_TRUE(cli.AttachVolume(name, device));
        EXPECT_EQ(tools.VbsCliArgs(), std::vector<std::string>({"-c", "attach", "-v", name}));
        EXPECT_TRUE(cli.QueryVolume(name, size));
        EXPECT_TRUE(cli.DetatchVolume(name));
        EXPECT_TRUE(cli.DeleteVolume(name));
        EXPECT_EQ(tools.VbsCliArgs(), std::vector<std::string>({"-c", "deletevolume", "-v", name}));

        EXPECT_TRUE(cli.CreateVolumeFromSnapshot(name, name, 4096));
        EXPECT_EQ(tools.JavaArgs(), JavaArgs({"--op", "createVolumeFromSnap", "--volName", name,
                                              "--volSize", "4096", "--snapNameSrc", name}));
        EXPECT_TRUE(cli.CreateBitmapVolume(name, name, name));
        EXPECT_EQ(tools.JavaArgs(), JavaArgs({"--op", "createBitmapVolume", "--volName", name,
                                              "--snapNameTo", name, "--snapNameFrom", name}));
        uint32_t status = 0;
        uint32_t blockSize = 0;
        EXPECT_TRUE(cli.QueryBitmapVolume(name, status, blockSize));
        EXPECT_FALSE(CWzPath::Exists(pwned)) << name;
    }
}

TEST(FusionStorageCLIHostile, AddressesAndFoldersRunNothing) {
    CFsFakeTools tools;
    const std::string pwned = tools.Dir() + "/pwned";
    // A tools folder with a blank and a quote, and hostile address texts.
    const std::string home = tools.Dir() + "/agent home's";
    FsWriteFile(home + "/Huawei/FusionStorage/.keep", "");
    ::setenv("FC_AGENT_HOME", home.c_str(), 1);
    CFusionStorageCLI cli;
    tools.Prepare(cli);
    const std::string mng = "10.0.0.1\"; touch " + pwned + "; echo \"";
    const std::string dsa = "$(touch " + pwned + ")";
    EvLogCapture log;
    ASSERT_TRUE(cli.Initialize(dsa, mng)) << log.Dump();
    EXPECT_EQ(tools.JavaArgs(), std::vector<std::string>(
                                    {"-classpath", ".:dsware-api-V100R006C00.jar:log4j-1.2.16.jar",
                                     "VrmVBSTools", "--mngIp", mng, "--dsaIp", dsa, "--help"}));
    EXPECT_EQ(tools.JavaCwd(), home + "/Huawei/FusionStorage");
    EXPECT_FALSE(CWzPath::Exists(pwned));
}

TEST_F(FusionStorageCLITest, NulBytesAreRefused) {
    std::string device;
    EXPECT_FALSE(cli.AttachVolume(std::string("v\0; touch x", 11), device));
    EXPECT_FALSE(cli.CreateVolumeFromSnapshot(std::string("v\0\"", 3), "s", 1));
    EXPECT_EQ(tools.VbsCliRuns(), 0);
    EXPECT_EQ(tools.JavaRuns(), 0);
    EXPECT_TRUE(log.Contains("it contains a NUL byte"));
}
