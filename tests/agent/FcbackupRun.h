// Runs the fcbackup executable as a user would, capturing its output and exit status, against
// a simulator of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "Simulator.h"
#include "TempDir.h"

namespace fctest {

struct SRun {
    int nExit = -1;
    std::string strOut;  // standard output
    std::string strErr;  // standard error
    nlohmann::json Json() const {
        const nlohmann::json j = nlohmann::json::parse(strOut, nullptr, false);
        if (j.is_discarded()) ADD_FAILURE() << "not JSON: " << strOut;
        return j.is_discarded() ? nlohmann::json::object() : j;
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

// A simulator on loopback and fcbackup's environment for it: the password, quick task polls,
// the logs in the test's folder.
class CFcbackupTest : public ::testing::Test {
protected:
    fcsim::CSimulator sim;
    CTempDir dir;
    CScopedEnvs env;
    std::string conn;  // the options that connect fcbackup to sim

    void StartSim(const fcsim::SSimOptions& options) {
        std::string err;
        ASSERT_TRUE(sim.Start(options, err)) << err;
        env.Set("FC_PASSWORD", sim.Password());
        env.Set("FC_BRIDGE_TASK_POLL_MS", "20");
        env.Set("FC_LOG_DIR", dir.File("logs"));
        conn = " --url " + sim.Url() + " --user " + sim.User() + " --ca-file " + sim.CAFile();
    }
    // A disk of a VM or backup record ({"name", "capacity"}) as the simulator holds it, at its
    // capacity: what a backup of it holds while the guest does not write.
    std::string Live(const nlohmann::json& disk) {
        const std::string name = disk["name"];
        std::string data = ReadWholeFile(sim.State().DiskPath(name.substr(name.rfind(':') + 1)));
        data.resize(disk["capacity"].get<uint64_t>(), '\0');
        return data;
    }
};

}  // namespace fctest
