// Reading the tools' key=value output, and quoting values for the shell.
#include <gtest/gtest.h>

#include "FusionStorageCLI.h"
#include "FusionStorageParser.h"

namespace {

// The values read from a tool's output, a "key=value" line each, in key order.
std::string Parsed(const std::string& text) {
    CFusionStorageCLI cli;
    CFusionStorageCLI::ValueMap values;
    EXPECT_TRUE(cli.ParseCommandOutput(text, values)) << text;
    std::string out;
    for (const auto& [key, value] : values) out += key + "=" + value + "\n";
    return out;
}

}  // namespace

TEST(FusionStorageParser, OutputGivesItsValues) {
    const std::pair<std::string, std::string> cases[] = {
        // Quoted commas and '=' stay; a bare word has no value; a value ends at the next '=';
        // a field without a key is dropped; the later line wins.
        {"ret_code=0,ret_desc=\"done, with=comma\",dev_addr=/dev/sdb\n\nx\nk=b=c\n=orphan,,\n"
         "ret_code=7\n",
         "dev_addr=/dev/sdb\nk=b\nret_code=7\nret_desc=done, with=comma\nx=\n"},
        {"", ""},
        {"\n\n", ""},
        // CR LF line ends and blanks around keys and values do not reach the keys or values.
        {" status = 1 \r\nblock_size=512\r\n", "block_size=512\nstatus=1\n"},
        // A value without a final line feed is complete.
        {"vol_size=4096", "vol_size=4096\n"},
        // Lines with a log prefix still give their keys; a log line of text gives bare words.
        {"INFO  VrmVBSTools queryBitmapVolume manager [10.0.0.1,10.0.0.2]\nDEBUG status=1\n"
         "INFO  status=0,block_size=4096\nERROR ret_desc=disk full\n",
         "10.0.0.2]=\nVrmVBSTools queryBitmapVolume manager [10.0.0.1=\nblock_size=4096\n"
         "ret_desc=disk full\nstatus=0\n"},
    };
    for (const auto& [text, values] : cases) EXPECT_EQ(Parsed(text), values) << text;
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

// (Hostile values through the real shell, in both quotings:
// FusionStorageCLITest.CommandLinesCarryEachNameAsOneArgument.)
TEST(FusionStorageQuoting, OrdinaryNamesStayByteForByte) {
    for (const char* plain :
         {"vol-1", "__VQ_BACKUP__volume_7-snap.3", "/usr/bin/java", "10.0.0.1,10.0.0.2"}) {
        EXPECT_EQ(FusionStorage::ShellWord(plain), plain);
        EXPECT_EQ(FusionStorage::ShellInDoubleQuotes(plain), plain);
    }
    EXPECT_EQ(FusionStorage::ShellWord(""), "''");
    EXPECT_EQ(FusionStorage::ShellInDoubleQuotes(""), "");
    EXPECT_EQ(FusionStorage::ShellWord("v; touch x"), "'v; touch x'");
    EXPECT_EQ(FusionStorage::ShellWord("it's"), "'it'\\''s'");
    EXPECT_EQ(FusionStorage::ShellInDoubleQuotes("a\"$b`c\\"), "a\\\"\\$b\\`c\\\\");
}
