// Reading the tools' key=value output, and quoting values for the shell.
#include <gtest/gtest.h>

#include "FusionStorageCLI.h"
#include "FusionStorageParser.h"
#include "NxProcess.h"

namespace {

CFusionStorageCLI::ValueMap Parse(const std::string& text) {
    CFusionStorageCLI cli;
    CFusionStorageCLI::ValueMap values;
    EXPECT_TRUE(cli.ParseCommandOutput(text, values));
    return values;
}

}  // namespace

TEST(FusionStorageParser, FieldsQuotesBareWordsAndRepeats) {
    auto v = Parse(
        "ret_code=0,ret_desc=\"done, with=comma\",dev_addr=/dev/sdb\n"
        "\n"
        "x\n"
        "k=b=c\n"
        "=orphan,,\n"
        "ret_code=7\n");
    EXPECT_EQ(v["ret_code"], "7");  // the later line wins
    EXPECT_EQ(v["ret_desc"], "done, with=comma");
    EXPECT_EQ(v["dev_addr"], "/dev/sdb");
    ASSERT_EQ(v.count("x"), 1u);
    EXPECT_EQ(v["x"], "");
    EXPECT_EQ(v["k"], "b");
    EXPECT_EQ(v.count(""), 0u);
    EXPECT_EQ(v.size(), 5u);
}

TEST(FusionStorageParser, EmptyOutputAndLineEndings) {
    EXPECT_TRUE(Parse("").empty());
    EXPECT_TRUE(Parse("\n\n").empty());
    // CR LF line ends and blanks around keys and values do not reach the keys or values.
    auto v = Parse(" status = 1 \r\nblock_size=512\r\n");
    EXPECT_EQ(v["status"], "1");
    EXPECT_EQ(v["block_size"], "512");
    // A value without a final line feed is complete.
    EXPECT_EQ(Parse("vol_size=4096")["vol_size"], "4096");
}

TEST(FusionStorageParser, LogPrefixedLinesStillGiveTheirKeys) {
    auto v = Parse(
        "INFO  VrmVBSTools queryBitmapVolume manager [10.0.0.1,10.0.0.2]\n"
        "DEBUG status=1\n"
        "INFO  status=0,block_size=4096\n"
        "ERROR ret_desc=disk full\n");
    EXPECT_EQ(v["status"], "0");
    EXPECT_EQ(v["block_size"], "4096");
    EXPECT_EQ(v["ret_desc"], "disk full");
    EXPECT_EQ(v.count("INFO  status"), 0u);
}

TEST(FusionStorageParser, DecimalNumbers) {
    uint64_t n = 99;
    EXPECT_TRUE(FusionStorage::ParseDecimal("18446744073709551615", n));
    EXPECT_EQ(n, UINT64_MAX);
    for (const char* bad : {"", "12ab", "-1", " 1", "18446744073709551616", "0x10"}) {
        n = 99;
        EXPECT_FALSE(FusionStorage::ParseDecimal(bad, n)) << bad;
        EXPECT_EQ(n, 99u);
    }
}

TEST(FusionStorageQuoting, OrdinaryNamesStayByteForByte) {
    for (const char* plain :
         {"vol-1", "__VQ_BACKUP__volume_7-snap.3", "/usr/bin/java", "10.0.0.1,10.0.0.2"}) {
        EXPECT_EQ(FusionStorage::ShellWord(plain), plain);
        EXPECT_EQ(FusionStorage::ShellInDoubleQuotes(plain), plain);
    }
    EXPECT_EQ(FusionStorage::ShellWord(""), "''");
    EXPECT_EQ(FusionStorage::ShellWord("v; touch x"), "'v; touch x'");
    EXPECT_EQ(FusionStorage::ShellWord("it's"), "'it'\\''s'");
    EXPECT_EQ(FusionStorage::ShellInDoubleQuotes("a\"$b`c\\"), "a\\\"\\$b\\`c\\\\");
}

// The shell itself must hand every value back unchanged, however hostile.
TEST(FusionStorageQuoting, ShellGivesValuesBackUnchanged) {
    const std::string hostile[] = {
        "v; touch /nonexistent/x",
        "$(id)",
        "`id`",
        "a\"b'c",
        "back\\slash\\",
        "new\nline",
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
        "",
    };
    for (const std::string& value : hostile) {
        std::string out;
        std::string err;
        ASSERT_EQ(NxProcess::system("printf '%s' " + FusionStorage::ShellWord(value), out, err), 0)
            << value;
        EXPECT_EQ(out, value);
        ASSERT_EQ(
            NxProcess::system("printf '%s' \"" + FusionStorage::ShellInDoubleQuotes(value) + "\"",
                              out, err),
            0)
            << value;
        EXPECT_EQ(out, value);
    }
}
