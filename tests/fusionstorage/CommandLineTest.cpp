// The FusionStorage tools' runner against recording stand-ins.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iterator>

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
    static std::vector<std::string> JavaArgs(const std::vector<std::string>& operation) {
        return FsJavaArgs("10.0.0.1,10.0.0.2", "192.168.0.9", operation);
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
    EXPECT_EQ(log.Count("Executing: vbs_cli -help"), 2u);  // object log and shared log
    EXPECT_EQ(log.Count("Executing: " + JavaLine("--help")), 2u) << log.Dump();
    EXPECT_EQ(tools.VbsCliArgs(), std::vector<std::string>({"-help"}));
    EXPECT_TRUE(log.Contains("CLI initialization complete"));
    // (Java's arguments and folder: FusionStorageCLIInit.HostileAddressesAndFoldersRunNothing.)
}

TEST_F(FusionStorageCLIInit, FailingHelpCommandsOrNoAgentHome) {
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

    // Without an agent home nothing runs.
    tools.ClearRuns();
    ::setenv("FC_AGENT_HOME", "", 1);  // restored by tools
    EXPECT_FALSE(cli.Initialize("192.168.0.9", "10.0.0.1"));
    EXPECT_EQ(tools.JavaRuns() + tools.VbsCliRuns(), 0);
}

// No runtime below the search folder: "java" from the path, or the system Java when present.
TEST_F(FusionStorageCLIInit, NoJavaFoundRunsJavaFromThePathOrTheSystemJava) {
    cli.SetJavaSearchFolder(tools.Dir() + "/empty");
    EXPECT_EQ(cli.FindJava(), "");
    ASSERT_TRUE(cli.Initialize("192.168.0.9", "10.0.0.1")) << log.Dump();
    EXPECT_TRUE(log.Contains("Executing: cd " + tools.ToolsDir() + "; java -classpath"));
    EXPECT_EQ(tools.JavaRuns(), 1);  // the one in bin/, first on PATH
    cli.SetSystemJava(tools.Dir() + "/bin/java");
    EXPECT_EQ(cli.FindJava(), tools.Dir() + "/bin/java");
}

// Every command, with an ordinary name and with hostile ones: the command line as logged, and
// each name reaching the tool as exactly one argument, unchanged; no name runs a command. The
// tools' names are quoted as shell words and Java's in double quotes, so every name here goes
// through both quotings and the real shell.
TEST_F(FusionStorageCLITest, CommandLinesCarryEachNameAsOneArgument) {
    const std::string pwned = tools.Dir() + "/pwned";
    const std::string names[] = {
        "vol-1",
        "v; touch " + pwned,
        "$(touch " + pwned + ")",
        "`touch " + pwned + "`",
        "v\"; touch " + pwned + "; echo \"",
        "v' ; touch " + pwned + " ; '",
        "v\ntouch " + pwned,
        "v && touch " + pwned,
        "v\\",
        "a\"b'c",
        "back\\slash\\",
        "tab\there",
        "*",
        "~root",
        "!event",
        "$HOME",
        "a  b",
        "-n",
        "\"",
        "'",
        "\xc3\xa9t\xc3\xa9",
        "${IFS}",
        "a|b&c>d<e",
        "#comment",
    };
    std::string device;
    uint64_t size = 0;
    uint32_t status = 0;
    uint32_t blockSize = 0;
    for (const std::string& n : names) {
        const std::string s = n + "-s";
        const std::string t = n + "-t";
        const struct {
            std::function<bool()> run;
            std::string strLine;  // as logged for "vol-1"
            std::vector<std::string> vecArgs;
        } cases[] = {
            {[&] { return cli.AttachVolume(n, device); },
             "vbs_cli -c attach -v vol-1",
             {"-c", "attach", "-v", n}},
            {[&] { return cli.DetatchVolume(n); },
             "vbs_cli -c detach -v vol-1",
             {"-c", "detach", "-v", n}},
            {[&] { return cli.DeleteVolume(n); },
             "vbs_cli -c deletevolume -v vol-1",
             {"-c", "deletevolume", "-v", n}},
            {[&] { return cli.QueryVolume(n, size); },
             "vbs_cli -c queryvolume -v vol-1",
             {"-c", "queryvolume", "-v", n}},
            {[&] { return cli.CreateVolumeFromSnapshot(n, s, 10737418240ull); },
             JavaLine("--op createVolumeFromSnap --volName \"vol-1\" --volSize 10737418240 "
                      "--snapNameSrc \"vol-1-s\" "),
             JavaArgs({"--op", "createVolumeFromSnap", "--volName", n, "--volSize", "10737418240",
                       "--snapNameSrc", s})},
            // With an older snapshot there are two blanks before its option.
            {[&] { return cli.CreateBitmapVolume(n, s, t); },
             JavaLine("--op createBitmapVolume --volName \"vol-1\" --snapNameTo \"vol-1-t\"  "
                      "--snapNameFrom \"vol-1-s\" "),
             JavaArgs({"--op", "createBitmapVolume", "--volName", n, "--snapNameTo", t,
                       "--snapNameFrom", s})},
            {[&] { return cli.CreateBitmapVolume(n, "", t); },
             JavaLine("--op createBitmapVolume --volName \"vol-1\" --snapNameTo \"vol-1-t\" "),
             JavaArgs({"--op", "createBitmapVolume", "--volName", n, "--snapNameTo", t})},
            {[&] { return cli.QueryBitmapVolume(n, status, blockSize); },
             JavaLine("--op queryBitmapVolume --volName \"vol-1\" "),
             JavaArgs({"--op", "queryBitmapVolume", "--volName", n})},
        };
        for (const auto& c : cases) {
            log.Clear();
            EXPECT_TRUE(c.run()) << n << "\n" << log.Dump();
            if (n == names[0]) {
                EXPECT_EQ(Executed(), c.strLine);
            }
            const bool java = c.vecArgs[0] == "-classpath";
            EXPECT_EQ(java ? tools.JavaArgs() : tools.VbsCliArgs(), c.vecArgs) << n;
        }
        EXPECT_FALSE(CWzPath::Exists(pwned)) << n;
    }
    // Each command ran its tool once.
    EXPECT_EQ(tools.VbsCliRuns(), int(4 * std::size(names)));
    EXPECT_EQ(tools.JavaRuns(), int(4 * std::size(names)));
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

TEST_F(FusionStorageCLITest, VrmVbsToolsAnswers) {
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

    // The commands that do not read the answer trust the exit status.
    tools.SetJava("ERROR something went wrong\nret_code=1\n", 0);
    EXPECT_TRUE(cli.ExecuteVrmVbsToolsCommand("--op whatever"));
    EXPECT_TRUE(cli.CreateVolumeFromSnapshot("v", "s", 1));
    tools.SetJava("", 1);
    EXPECT_FALSE(cli.CreateVolumeFromSnapshot("v", "s", 1));
    // (CreateBitmapVolume: FusionStorageAPITest.BitmapWaitStopsOnFailures.)
    CFusionStorageCLI::ValueMap values;
    tools.SetJava("", 0);
    EXPECT_TRUE(cli.ExecuteVrmVbsToolsCommand("--op whatever", true, values));
    EXPECT_TRUE(values.empty());
}

TEST_F(FusionStorageCLIInit, HostileAddressesAndFoldersRunNothing) {
    const std::string pwned = tools.Dir() + "/pwned";
    // A tools folder with a blank and a quote, and hostile address texts.
    const std::string home = tools.Dir() + "/agent home's";
    tools.Write("agent home's/Huawei/FusionStorage/.keep", "");
    ::setenv("FC_AGENT_HOME", home.c_str(), 1);  // restored by tools
    const std::string mng = "10.0.0.1\"; touch " + pwned + "; echo \"";
    const std::string dsa = "$(touch " + pwned + ")";
    ASSERT_TRUE(cli.Initialize(dsa, mng)) << log.Dump();
    EXPECT_EQ(tools.JavaArgs(), FsJavaArgs(mng, dsa, {"--help"}));
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
