// The one counting of the simulator's fault rules: which matching calls fire, how often, and
// what happens when several rules match the same call.
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

// The last rule's counts after the calls.
TEST(FaultWindow, FiresFromTheNthMatchingCallTimesTimesAndEveryMatchingRuleCounts) {
    struct {
        std::vector<SRule> rules;
        std::vector<std::string> calls;
        std::vector<int> fired;
        uint32_t nSeen, nFired;
        bool bSpent;
    } cases[] = {
        {{Rule("a", 2, 2)}, {"a", "b", "a", "a", "a", "a"}, {-1, -1, 0, 0, -1, -1}, 5, 2, true},
        // Times 0 fires on every call from the nth.
        {{Rule("a", 3, 0)}, {"a", "a", "a", "a", "a"}, {-1, -1, 0, 0, 0}, 5, 3, false},
        // The second rule's "2nd call" is the 2nd call even though the first rule took it.
        {{Rule("a", 1, 2), Rule("a", 2, 1)}, {"a", "a", "a", "a"}, {0, 0, 1, -1}, 4, 1, true}};
    for (auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(Fired(c.rules, c.calls), c.fired);
        EXPECT_EQ(c.rules.back().window.nSeen, c.nSeen);
        EXPECT_EQ(c.rules.back().window.nFired, c.nFired);
        EXPECT_EQ(c.rules.back().window.Spent(), c.bSpent);
    }
}

TEST(FaultWindow, RuleTextKeys) {
    fcsim::CKeyValues items;
    std::string error;
    SFaultWindow w;
    ASSERT_TRUE(fcsim::CKeyValues::FromRule("nth=0 times=0 seen=4 fired=2 other=1", items, error));
    ASSERT_TRUE(fcsim::TakeFaultWindow(items, w, error)) << error;
    EXPECT_EQ(w.nNth, 1u);  // 0 reads as 1
    EXPECT_EQ(w.nTimes, 0u);
    EXPECT_EQ(w.nSeen, 4u);
    EXPECT_EQ(w.nFired, 2u);
    EXPECT_EQ(items.Items().size(), 1u);  // only the window's keys were taken

    fcsim::CKeyValues out;
    fcsim::PutFaultWindow(w, false, out);
    EXPECT_EQ(out.ToRule(), "nth=1 times=0");
    fcsim::PutFaultWindow(w, true, out);
    EXPECT_EQ(out.ToRule(), "nth=1 times=0 seen=4 fired=2");
    w.Restart();
    EXPECT_EQ(w.nSeen + w.nFired, 0u);

    for (const char* bad : {"nth=-1", "times=x", "nth=4294967296"}) {
        ASSERT_TRUE(fcsim::CKeyValues::FromRule(bad, items, error));
        EXPECT_FALSE(fcsim::TakeFaultWindow(items, w, error)) << bad;
    }
}

}  // namespace
