// Fault rules of the FusionStorage tool stand-ins: <state>/faults/fstools, one rule a line, in
// the simulator's rule text (KeyValues.h) with the shared window (FaultWindow.h):
//
//   op=<operation> action=<action> [action keys] [nth=N] [times=N]
//
// operation: help, attach, detach, deletevolume, queryvolume (vbs_cli); vrmhelp,
//            createVolumeFromSnap, createBitmapVolume, queryBitmapVolume (VrmVBSTools).
// action:    fail [ret_code=N] [ret_desc=TEXT]  the tool reports the failure in its output
//            exit status=N                      the tool exits with status N
//            empty                              the tool exits 0 and prints nothing
//            garbage                            the tool prints a malformed answer
//            notready queries=N                 (createBitmapVolume) the new bitmap volume
//                                               answers "not ready" to N queries
// Each tool run is one call. The tools are separate processes, so the counts (seen=, fired=)
// are written back into the file under its lock. Lines starting with '#' and blank lines are
// kept as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FaultWindow.h"

namespace fcsim {

struct SFsFault {
    std::string strOperation;
    std::string strAction;  // "fail", "exit", "empty", "garbage", "notready"
    std::string strRetCode = "1";
    std::string strRetDesc = "injected failure";
    int nValue = 0;  // exit status or not-ready count
    SFaultWindow window;
};

class CFsFaults {
public:
    explicit CFsFaults(std::string stateRoot);
    const std::string& FilePath() const { return m_strPath; }

    // Counts one run of the operation; true with the rule that fires.
    bool Take(const std::string& operation, SFsFault& fault);

    // For tests and the simulator's control surface. Add refuses a line that is not a rule.
    bool Add(const std::string& ruleLine);
    bool Clear();
    std::vector<SFsFault> List() const;

    // One rule line; false with a reason when it is not a rule.
    static bool ParseRule(const std::string& line, SFsFault& out, std::string& error);
    static std::string FormatRule(const SFsFault& fault);

private:
    std::string m_strRoot;
    std::string m_strPath;
};

}  // namespace fcsim
