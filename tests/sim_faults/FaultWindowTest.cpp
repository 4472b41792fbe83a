// The one counting of the simulator's fault rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FaultWindow.h"

using fcsim::SFaultWindow;

namespace {

struct SRule {
    std::string strOp;
    SFaultWindow window;
};

SRule Rule(const std::string& op, uint32_t nth, uint32_t times) {
    SRule r;
    r.strOp = op;
    r.window.nNth = nth;
    r.window.nTimes = times;
    return r;
}

// Which rule fires on each of the calls (-1: none).
std::vector<int> Fired(std::vector<SRule>& rules, const std::vector<std::string>& calls) {
    std::vector<int> out;
    for (const std::string& op : calls) {
        SRule* fired = fcsim::FireFirst(rules, [&](const SRule& r) { return r.strOp == op; });
        out.push_back(fired ? static_cast<int>(fired - rules.data()) : -1);
    }
    return out;
}

TEST(FaultWindow, FiresFromTheNthMatchingCallTimesTimes) {
    std::vector<SRule> rules = {Rule("a", 2, 2)};
    EXPECT_EQ(Fired(rules, {"a", "b", "a", "a", "a", "a"}),
              (std::vector<int>{-1, -1, 0, 0, -1, -1}));
    EXPECT_EQ(rules[0].window.nSeen, 5u);
    EXPECT_EQ(rules[0].window.nFired, 2u);
    EXPECT_TRUE(rules[0].window.Spent());
}

TEST(FaultWindow, TimesZeroFiresOnEveryCallFromTheNth) {
    std::vector<SRule> rules = {Rule("a", 3, 0)};
    EXPECT_EQ(Fired(rules, {"a", "a", "a", "a", "a"}), (std::vector<int>{-1, -1, 0, 0, 0}));
    EXPECT_FALSE(rules[0].window.Spent());
}

TEST(FaultWindow, EveryNFiresOnEachNthCallFromTheNthTimesTimes) {
    std::vector<SRule> rules = {Rule("a", 2, 3)};
    rules[0].window.nEvery = 3;
    EXPECT_EQ(Fired(rules, std::vector<std::string>(12, "a")),
              (std::vector<int>{-1, 0, -1, -1, 0, -1, -1, 0, -1, -1, -1, -1}));
    EXPECT_TRUE(rules[0].window.Spent());
}

TEST(FaultWindow, EveryMatchingRuleCountsTheCallAndTheFirstOpenOneFires) {
    // The second rule's "2nd call" is the 2nd call even though the first rule took it.
    std::vector<SRule> rules = {Rule("a", 1, 2), Rule("a", 2, 1)};
    EXPECT_EQ(Fired(rules, {"a", "a", "a", "a"}), (std::vector<int>{0, 0, 1, -1}));
    EXPECT_EQ(rules[1].window.nSeen, 4u);
}

TEST(FaultWindow, RuleTextKeys) {
    fcsim::CKeyValues items;
    std::string error;
    SFaultWindow w;
    ASSERT_TRUE(fcsim::CKeyValues::FromRule("nth=0 times=0 seen=4 fired=2 other=1", items, error));
    ASSERT_TRUE(fcsim::TakeFaultWindow(items, w, error)) << error;
    // nth=0 reads as 1.
    EXPECT_EQ((std::vector<uint64_t>{w.nNth, w.nTimes, w.nSeen, w.nFired}),
              (std::vector<uint64_t>{1, 0, 4, 2}));
    EXPECT_EQ(items.Items().size(), 1u);  // only the window's keys were taken

    fcsim::CKeyValues out;
    fcsim::PutFaultWindow(w, false, out);
    EXPECT_EQ(out.ToRule(), "nth=1 times=0");
    fcsim::PutFaultWindow(w, true, out);
    EXPECT_EQ(out.ToRule(), "nth=1 times=0 seen=4 fired=2");
    ASSERT_TRUE(fcsim::CKeyValues::FromRule("every=5", items, error));
    ASSERT_TRUE(fcsim::TakeFaultWindow(items, w, error)) << error;
    fcsim::CKeyValues every;
    fcsim::PutFaultWindow(w, false, every);
    EXPECT_EQ(every.ToRule(), "nth=1 times=0 every=5");  // written only when it is more than 1
    w.Restart();
    EXPECT_EQ(w.nSeen + w.nFired, 0u);

    for (const char* bad : {"nth=-1", "times=x", "nth=4294967296"}) {
        ASSERT_TRUE(fcsim::CKeyValues::FromRule(bad, items, error));
        EXPECT_FALSE(fcsim::TakeFaultWindow(items, w, error)) << bad;
    }
}

}  // namespace
