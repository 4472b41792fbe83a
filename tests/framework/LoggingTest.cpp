// Log lines: the capture and the file format (from several threads at once: SyncTest).
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "EvDebug.h"
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

    // Per line: error flag, level, job, tag and text.
    std::vector<std::string> lines;
    for (const SEvLogLine& l : outer.Lines())
        lines.push_back(std::to_string(l.bError) + " " + std::to_string(l.nLevel) + " " +
                        std::to_string(l.llJobId) + " [" + l.strTag + "] " + l.strText);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "0 0 0 [bool C::F()] plain 1", "1 0 0 [bool C::F()] failed [x]",
                         "0 2 0 [bool C::G()] Start >>>", "0 0 77 [tag] job line",
                         "0 0 0 [] tagless", "0 3 0 [] tagless three", "1 0 0 [] tagless error"}));

    outer.Clear();

    EvEvent jobLog;
    jobLog.setJobId(4242);
    jobLog.Debug("t", "from a job");
    ASSERT_EQ(outer.Lines().size(), 1u);
    EXPECT_EQ(outer.Lines()[0].llJobId, 4242);
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
    // "YYYY-MM-DD HH:MM:SS.mmm pid:tid job level [tag] message": the stamp and the thread by
    // their shape, the rest by value.
    const std::regex head(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + std::to_string(::getpid()) +
                          R"(:\d+)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lines[0], m, head, std::regex_constants::match_continuous))
        << lines[0];
    EXPECT_EQ(m.suffix().str(),
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

    EvDebugFileInstance unwritable("/proc/definitely/not/writable.log");
    EvDebug lost;
    lost.initialize(&unwritable, 0, 0, true, "x");
    EvLogCapture capture;
    lost.Error("t", "still seen");
    EXPECT_TRUE(capture.Contains("still seen"));
}
