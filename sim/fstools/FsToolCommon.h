// What the two FusionStorage tool stand-ins share: finding the state folder and answering in
// the tools' key=value format.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "FsFaults.h"

namespace fcsim {

// The state folder from FCSIM_STATE_DIR; false (with a message on standard error) when unset.
bool FsToolStateDir(const char* tool, std::string& dir);

// "ret_code=<code>,ret_desc=\"<desc>\"" and a line feed. Double quotes in desc become single.
void FsPrintResult(const std::string& code, const std::string& desc, const std::string& extra);

// Applies a fault that ends the run ("exit", "empty", "fail", "garbage"): prints what it calls
// for and gives the exit status in status. False when the fault does not end the run.
bool FsApplyFault(const SFsFault& fault, bool failExits, int& status);

std::string FsCurrentDir();

}  // namespace fcsim
