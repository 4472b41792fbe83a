// Runs the fcbackup executable as a user would, capturing its output and exit status.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "SimSession.h"
#include "TempDir.h"

namespace fctest {

struct SRun {
    int nExit = -1;
    std::string strOut;  // standard output
    std::string strErr;  // standard error
    nlohmann::json Json() const {
        try {
            return nlohmann::json::parse(strOut);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON: " << strOut;
            return nlohmann::json::object();
        }
    }
};

inline SRun Fcbackup(const CTempDir& dir, const std::string& args) {
    const std::string err = dir.File("stderr");
    SRun r;
    FILE* p = ::popen((std::string(FCBACKUP_BIN) + " " + args + " 2>" + err).c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) r.strOut.append(buf, n);
    const int status = ::pclose(p);
    r.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.strErr = ReadWholeFile(err);
    return r;
}

}  // namespace fctest
