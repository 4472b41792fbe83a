// Fault rules of the FusionStorage tool stand-ins: <state>/faults/fstools, one rule a line:
//
//   <operation> <action> [times=N]
//
// operation: help, attach, detach, deletevolume, queryvolume (vbs_cli); vrmhelp,
//            createVolumeFromSnap, createBitmapVolume, queryBitmapVolume (VrmVBSTools).
// action:    fail [ret_code=N] [ret_desc=TEXT...]  the tool reports the failure in its output
//                                                  (ret_desc takes the rest of the line)
//            exit=N                                the tool exits with status N
//            empty                                 the tool exits 0 and prints nothing
//            garbage                               the tool prints a malformed answer
//            notready=N                            (createBitmapVolume) the new bitmap volume
//                                                  answers "not ready" to N queries
// times=N applies the rule to the next N runs only, then it is used up; without it the rule
// stays. Lines starting with '#' and blank lines are ignored; the first matching rule wins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fcsim {

struct SFsFault {
    std::string strOperation;
    std::string strAction;  // "fail", "exit", "empty", "garbage", "notready"
    std::string strRetCode = "1";
    std::string strRetDesc = "injected failure";
    int nValue = 0;   // exit status or not-ready count
    int nTimes = -1;  // runs left; -1 = for ever
};

class CFsFaults {
public:
    explicit CFsFaults(std::string stateRoot);
    const std::string& FilePath() const { return m_strPath; }

    // The first rule for the operation, used up by one run when it has a count.
    bool Take(const std::string& operation, SFsFault& fault);

    // For tests and the simulator's control surface.
    bool Add(const std::string& ruleLine);
    bool Clear();

    // One rule line; false when it is not a rule.
    static bool ParseRule(const std::string& line, SFsFault& out);

private:
    std::string m_strRoot;
    std::string m_strPath;
};

}  // namespace fcsim
