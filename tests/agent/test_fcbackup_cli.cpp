// fcbackup run as a user runs it, against the simulator on loopback.
#include <algorithm>
#include <filesystem>

#include "FcbackupRun.h"

namespace {

using fctest::Fcbackup;
using fctest::SRun;

TEST(FcbackupDemo, VerifiesTheRestoredVMByteForByte) {
    CTempDir dir;
    const SRun r = Fcbackup(dir, "demo --json");
    ASSERT_EQ(0, r.nExit) << r.strErr << r.strOut;
    const nlohmann::json j = r.Json();
    EXPECT_TRUE(j["verified"].get<bool>()) << j.dump(2);
    EXPECT_EQ("full", j["full"]["kind"]);
    EXPECT_EQ("incremental", j["incremental"]["kind"]);
    // The changed bytes, and at most a changed block more at either end of each write.
    const uint64_t changed = j["bytes_changed"], read = j["incremental"]["bytes_read"];
    EXPECT_GE(read, changed);
    EXPECT_LE(read, changed + 4 * (64 << 10));
}

class FcbackupCli : public fctest::CFcbackupTest {
protected:
    void SetUp() override {
        fcsim::SSimOptions options;
        options.settings.strPassword = "Pw-0f-The-Bench-7";
        StartSim(options);
    }
    SRun Run(const std::string& args) {
        SRun r = Fcbackup(dir, args);
        EXPECT_EQ(std::string::npos, (r.strOut + r.strErr).find(sim.Password())) << args;
        return r;
    }
    // No file fcbackup wrote (logs, repository, restore folders) holds the password.
    void ExpectNoFileHoldsThePassword() {
        size_t files = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path())) {
            if (!e.is_regular_file()) continue;
            ++files;
            EXPECT_EQ(std::string::npos,
                      fctest::ReadWholeFile(e.path().string()).find(sim.Password()))
                << e.path();
        }
        EXPECT_GT(files, 10u);
    }
    nlohmann::json Ok(const std::string& args) {
        const SRun r = Run(args + " --json");
        EXPECT_EQ(0, r.nExit) << args << "\n" << r.strErr;
        return r.Json();
    }
    // The disks of a VM as the simulator holds them, in name order.
    std::vector<std::string> DiskFiles(const std::string& vm) {
        const nlohmann::json all = Ok("vms" + conn);
        std::vector<std::string> out;
        for (const auto& record : all["vms"])
            if (record["name"] == vm)
                for (const auto& d : record["disks"]) out.push_back(Live(d));
        EXPECT_FALSE(out.empty()) << "no VM " << vm;
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(FcbackupCli, ABackupChainThroughEveryRepositoryCommand) {
    const std::string repo = " --repo " + dir.File("repo");
    const nlohmann::json full = Ok("backup --vm web-01" + repo + conn);
    EXPECT_EQ("full", full["kind"]);
    ASSERT_EQ(2u, full["disks"].size());
    const std::string disk = full["disks"][0]["name"];
    const std::string before = Live(full["disks"][0]);

    std::string err;
    ASSERT_NE(0u, sim.GuestWrite(disk, 5 << 20, std::string(4096, 'g'), err)) << err;
    const nlohmann::json incr =
        Ok("backup --vm web-01 --jobs 2 --request-size 65536" + repo + conn);
    EXPECT_EQ("incremental", incr["kind"]);
    EXPECT_EQ(full["backup_id"], incr["parent"]);
    EXPECT_EQ(64u << 10, incr["bytes_read"].get<uint64_t>()) << "one changed block";
    for (const auto& d : incr["disks"]) EXPECT_EQ("incremental", d["cbt"]) << d.dump();

    EXPECT_EQ(2u, Ok("list" + repo)["backups"].size());
    const nlohmann::json verified = Ok("verify" + repo);
    EXPECT_TRUE(verified["ok"].get<bool>());
    EXPECT_GT(verified["chunks_checked"].get<uint64_t>(), 0u);

    // Each point exports as the disk was then.
    const std::pair<nlohmann::json, std::string> points[] = {{full, before},
                                                             {incr, Live(full["disks"][0])}};
    for (const auto& point : points) {
        const std::string out = dir.File("disk.img");
        Ok("export --vm web-01 --disk " + disk + " --backup " +
           point.first["backup_id"].get<std::string>() + " --output " + out + repo);
        EXPECT_TRUE(fctest::ReadWholeFile(out) == point.second) << point.first["kind"];
    }

    const nlohmann::json restored = Ok("restore --vm web-01 --name web-01-copy" + repo + conn);
    EXPECT_EQ("web-01-copy", restored["vm"]);
    EXPECT_TRUE(DiskFiles("web-01-copy") == DiskFiles("web-01"));

    // Under the source's own name, without --overwrite: refused, the source left alone.
    const SRun clash = Run("restore --vm web-01" + repo + conn);
    EXPECT_EQ(1, clash.nExit);
    EXPECT_NE(std::string::npos, clash.strErr.find("a VM named web-01 exists already"))
        << clash.strErr;
    EXPECT_TRUE(DiskFiles("web-01") == DiskFiles("web-01-copy"));

    const nlohmann::json pruned = Ok("prune --vm web-01 --keep-last 1" + repo);
    EXPECT_EQ(1u, pruned["backups_removed"].get<uint64_t>());
    EXPECT_TRUE(Ok("verify" + repo)["ok"].get<bool>());
    ExpectNoFileHoldsThePassword();
}

TEST_F(FcbackupCli, FailuresAreOneClearLineWithTheirExitStatus) {
    dir.Touch("not-a-repo/file");
    dir.Write("pw", "Wrong-Secret-42\n");
    const std::string repo = " --repo " + dir.File("repo");
    const std::string logon = " --url " + sim.Url() + " --user " + sim.User();
    struct SCase {
        std::string args;
        int nExit;
        std::string message;
    } cases[] = {
        {"backup --vm no-such-vm" + repo + conn, 1, "no VM named no-such-vm"},
        // A wrong password, from a file: refused, and (as no other) never echoed.
        {"vms" + conn + " --password-file " + dir.File("pw"), 1, "cannot log on"},
        {"vms" + logon, 1, "--ca-file"},  // the simulator's certificate is not trusted
        {"vms --url https://127.0.0.1:1 --user admin --insecure", 1,
         "cannot log on to https://127.0.0.1:1"},
        {"vms" + logon + " --password-file " + dir.File("none"), 1,
         "cannot read the password file"},
        {"list --repo " + dir.File("not-a-repo"), 1, "is not a backup repository"},
        {"restore --vm web-01 --repo " + dir.File("missing") + conn, 1, "no backup repository at"},
        {"backup --vm web-01" + conn, 2, "--repo is required"},
        {"backup --vm web-01 --jobs 0" + repo + conn, 2, "--jobs"},
        {"backup --vm web-01 --request-size 1000" + repo + conn, 2, "multiple of 512"},
        {"restore --vm web-01 --name ../web-02" + repo + conn, 2, "--name: must be a plain name"},
        {"frobnicate", 2, "frobnicate"},
        {"", 2, "Usage"},
    };
    for (const SCase& c : cases) {
        const SRun r = Run(c.args);
        EXPECT_EQ(c.nExit, r.nExit) << c.args << "\n" << r.strErr;
        EXPECT_NE(std::string::npos, r.strErr.find(c.message)) << c.args << "\n" << r.strErr;
        if (c.nExit == 1) {
            EXPECT_NE(std::string::npos, r.strErr.find("details are in the log")) << c.args;
        }
        EXPECT_EQ(std::string::npos, (r.strErr + r.strOut).find("Wrong-Secret-42")) << c.args;
    }
}

}  // namespace
