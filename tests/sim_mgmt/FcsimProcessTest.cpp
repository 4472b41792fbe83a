// The fcsim executable, run as a process of its own.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "TempDir.h"

#ifndef FCSIM_PATH
#error "FCSIM_PATH names the fcsim executable"
#endif

namespace {

TEST(FcsimProcess, StartsSeededServesAndStopsOnSigterm) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(FCSIM_PATH, FCSIM_PATH, "--seed", "--http", "--port", "0", "--cna-port", "0",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* f = ::fdopen(out[0], "r");
    ASSERT_NE(f, nullptr);
    std::string url, stateDir, line;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) {
        line = buf;
        if (line.find("management service ") != std::string::npos) {
            url = line.substr(line.find("http"));
            url.erase(url.find_last_not_of("\r\n") + 1);
        }
        if (line.find("state folder ") != std::string::npos) {
            stateDir = line.substr(line.find("state folder ") + 13);
            stateDir.erase(stateDir.find_last_not_of("\r\n") + 1);
        }
        if (line.find("running") != std::string::npos) break;
    }
    ASSERT_EQ(url.compare(0, 17, "http://127.0.0.1:"), 0) << url;
    // Seeded: the demo's VMs are in the state folder (what the demo holds: the in-process
    // simulator tests); serving: the version list answers.
    EXPECT_NE(fctest::ReadWholeFile(stateDir + "/inventory.json").find("\"web-01\""),
              std::string::npos)
        << stateDir;
    auto versions = httplib::Client(url).Get("/service/versions");
    ASSERT_TRUE(versions);
    EXPECT_EQ(versions->status, 200);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::fclose(f);
    EXPECT_FALSE(std::filesystem::exists(stateDir));
}

}  // namespace
