// Records and rule lines: what is read, what is refused, and that writing reads back.
#include <gtest/gtest.h>

#include "KeyValues.h"

using fcsim::CKeyValues;

namespace {

TEST(KeyValues, RecordsTakeTheRestOfTheLineAndSkipTornLines) {
    CKeyValues kv = CKeyValues::FromRecord("path=/a b=c\nsize=12\ntorn line\nsize=13\nempty=\n");
    EXPECT_EQ(kv.Get("path"), "/a b=c");
    EXPECT_EQ(kv.Get("empty", "x"), "");
    EXPECT_EQ(kv.Get("missing", "x"), "x");
    uint64_t size = 0;
    ASSERT_TRUE(kv.GetNumber("size", UINT64_MAX, size));
    EXPECT_EQ(size, 13u);  // the last of a repeated key
    EXPECT_FALSE(kv.GetNumber("size", 12, size));
    EXPECT_FALSE(kv.GetNumber("path", UINT64_MAX, size));
    EXPECT_EQ(CKeyValues::FromRecord(kv.ToRecord()).ToRecord(), kv.ToRecord());
}

TEST(KeyValues, DecimalsAreStrict) {
    uint64_t v = 7;
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "0x10", "18446744073709551616", "1e3"})
        EXPECT_FALSE(fcsim::ParseDecimal(bad, v)) << bad;
    EXPECT_EQ(v, 7u);
    ASSERT_TRUE(fcsim::ParseDecimal("18446744073709551615", v));
    EXPECT_EQ(v, UINT64_MAX);
}

TEST(KeyValues, RuleLinesQuoteWhatNeedsIt) {
    CKeyValues kv;
    std::string error;
    ASSERT_TRUE(CKeyValues::FromRule(R"(  op=attach	desc="no path, \"sorry\" \\ " n=3 e="")",
                                     kv, error))
        << error;
    EXPECT_EQ(kv.Get("op"), "attach");
    EXPECT_EQ(kv.Get("desc"), R"(no path, "sorry" \ )");
    EXPECT_EQ(kv.Get("e", "x"), "");
    CKeyValues again;
    ASSERT_TRUE(CKeyValues::FromRule(kv.ToRule(), again, error)) << kv.ToRule();
    EXPECT_EQ(again.Items(), kv.Items());
    EXPECT_EQ(kv.ToRule(), R"(op=attach desc="no path, \"sorry\" \\ " n=3 e="")");

    for (const char* bad : {"op", "op=a op=b", "=x", "d=\"open", "d=\"a\"b", "a=1 stray"}) {
        error.clear();
        EXPECT_FALSE(CKeyValues::FromRule(bad, kv, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    ASSERT_TRUE(CKeyValues::FromRule("", kv, error));
    EXPECT_TRUE(kv.Empty());
}

// Taking keys, their defaults and limits: what the rule parsers read and refuse
// (CnaFaultRuleText.RoundTripsAndRefusesBadInput, FsFaults.RulesAndTheirCounts,
// FaultWindow.RuleTextKeys); here, that a refusal names its key.
TEST(KeyValues, RefusalsNameTheirKey) {
    CKeyValues kv;
    std::string error;
    ASSERT_TRUE(CKeyValues::FromRule("big=70000 colour=red", kv, error));
    uint64_t big = 0;
    EXPECT_FALSE(kv.TakeNumber("big", UINT16_MAX, big, error));
    EXPECT_NE(error.find("big"), std::string::npos);
    EXPECT_FALSE(kv.RefuseRest(error));
    EXPECT_NE(error.find("colour"), std::string::npos);
}

}  // namespace
