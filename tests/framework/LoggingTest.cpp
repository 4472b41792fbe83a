// Log lines: the in-memory capture and the file format.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>

#include "EvDebug.h"
#include "NxSync.h"
#include "TempDir.h"
#include "WzUtil.h"

TEST(LoggingTest, CaptureSeesEveryLineWithLevelTagAndJob) {
    EvLogCapture outer;
    EvDebug log;
    log.Debug("bool C::F()", "plain %d", 1);
    {
        EvLogCapture inner;
        log.Error("bool C::F()", "failed [%s]", "x");
        EXPECT_EQ(inner.Lines().size(), 1u);
    }
    log.DebugLvl("bool C::G()", 2, "Start >>>");
    log.DebugJob("tag", 77, "job line");
    log.debug("tagless");
    log.debugLvl(3, "tagless %s", "three");
    log.error("tagless error");

    std::vector<SEvLogLine> lines = outer.Lines();
    ASSERT_EQ(lines.size(), 7u) << outer.Dump();
    EXPECT_EQ(lines[0].strText, "plain 1");
    EXPECT_EQ(lines[0].strTag, "bool C::F()");
    EXPECT_FALSE(lines[0].bError);
    EXPECT_TRUE(lines[1].bError);
    EXPECT_EQ(lines[1].strText, "failed [x]");
    EXPECT_EQ(lines[2].nLevel, 2);
    EXPECT_EQ(lines[3].llJobId, 77);
    EXPECT_EQ(lines[4].strTag, "");
    EXPECT_EQ(lines[5].nLevel, 3);
    EXPECT_EQ(lines[5].strText, "tagless three");
    EXPECT_TRUE(lines[6].bError);

    EXPECT_EQ(outer.Count("tagless"), 3u);
    EXPECT_TRUE(outer.Contains("Start >>>"));
    outer.Clear();
    EXPECT_TRUE(outer.Lines().empty());

    EvEvent jobLog;
    jobLog.setJobId(4242);
    jobLog.Debug("t", "from a job");
    ASSERT_EQ(outer.Lines().size(), 1u);
    EXPECT_EQ(outer.Lines()[0].llJobId, 4242);
    EXPECT_EQ(jobLog.getJobId(), 4242);
}

TEST(LoggingTest, FileLineFormat) {
    CTempDir dir;
    EvDebugFileInstance file(dir.File("logs/test.log"));  // the folder is created on demand
    EvEvent log;
    log.initialize(&file, 0x7E5894FE, 0, false, "");
    log.setJobId(31);
    log.DebugLvl("bool CFusionComputeDiskInfo::Initialize()", 2, "Local host %s IP Address is: %s",
                 "proxy", "10.0.0.5");
    log.Error("t %s", "%s", "100% sure %s %n");  // only the format is a format
    log.DebugJob("t", -1, "multi\nline");

    std::string text;
    ASSERT_TRUE(ReadWholeFile(file.FileName(), text));
    std::vector<std::string> lines = FXString::Split(text, "\n", 0);
    ASSERT_GE(lines.size(), 3u) << text;
    // "YYYY-MM-DD HH:MM:SS.mmm pid:tid job level [tag] message": the stamp by its shape ('0'
    // for a digit), the rest by value.
    const std::string kShape = "0000-00-00 00:00:00.000 ";
    const std::string& first = lines[0];
    ASSERT_GT(first.size(), kShape.size()) << first;
    for (size_t i = 0; i < kShape.size(); ++i)
        ASSERT_TRUE(kShape[i] == '0' ? std::isdigit(static_cast<unsigned char>(first[i])) != 0
                                     : first[i] == kShape[i])
            << first;
    const std::string pid = std::to_string(::getpid()) + ":";
    ASSERT_EQ(0, first.compare(kShape.size(), pid.size(), pid)) << first;
    const size_t tid = kShape.size() + pid.size();
    const size_t afterTid = first.find_first_not_of("0123456789", tid);
    ASSERT_TRUE(afterTid != std::string::npos && afterTid > tid) << first;
    EXPECT_EQ(first.substr(afterTid),
              " 31 DBG2 [bool CFusionComputeDiskInfo::Initialize()] Local host proxy IP Address "
              "is: 10.0.0.5");
    EXPECT_NE(lines[1].find(" 31 ERR [t %s] 100% sure %s %n"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" -1 DBG0 [t] multi"), std::string::npos) << lines[2];

    // A second logger on the same file appends; re-initialising never truncates.
    EvDebug other;
    other.initialize(&file, 1, 0, false, "");
    other.debug("appended");
    ASSERT_TRUE(ReadWholeFile(file.FileName(), text));
    EXPECT_NE(text.find("Local host"), std::string::npos);
    EXPECT_NE(text.find("appended"), std::string::npos);
}

TEST(LoggingTest, UnwritableFileStillReachesCaptures) {
    EvDebugFileInstance file("/proc/definitely/not/writable.log");
    EvDebug log;
    log.initialize(&file, 0, 0, true, "x");
    EvLogCapture capture;
    log.Error("t", "still seen");
    EXPECT_TRUE(capture.Contains("still seen"));
}

TEST(LoggingTest, CapturesAreSafeAcrossThreads) {
    EvLogCapture capture;
    NxThread threads[4];
    for (NxThread& t : threads) {
        ASSERT_TRUE(t.start([]() {
            EvDebug log;
            for (int i = 0; i < 200; ++i) log.Debug("t", "line %d", i);
        }));
    }
    // Captures come and go while lines are being written.
    for (int i = 0; i < 50; ++i) {
        EvLogCapture shortLived;
    }
    for (NxThread& t : threads) t.join();
    EXPECT_EQ(capture.Count("line "), 800u);
}
