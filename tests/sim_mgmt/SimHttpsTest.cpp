// The simulator as tests and the demo use it: HTTPS with its generated certificate, and the
// CNA server's address handed out with disk access.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "SimTestUtil.h"
#include "Simulator.h"

namespace {

using json = nlohmann::json;

TEST(SimHttps, CertificateVerifiesAndCnaPortIsHandedOut) {
    fcsim::CSimulator sim;
    fcsim::SSimOptions opt;  // HTTPS, demo inventory, CNA server when built
    std::string err;
    ASSERT_TRUE(sim.Start(opt, err)) << err;
    ASSERT_EQ(sim.Url().compare(0, 8, "https://"), 0);
    ASSERT_FALSE(sim.CAFile().empty());
    std::string stateDir = sim.StateDir();

    httplib::SSLClient strict("127.0.0.1", sim.Port());
    strict.enable_server_certificate_verification(true);
    EXPECT_FALSE(strict.Get("/service/versions"));  // the system store does not know it

    httplib::SSLClient cli("127.0.0.1", sim.Port());
    cli.set_ca_cert_path(sim.CAFile().c_str());
    cli.enable_server_certificate_verification(true);
    const std::string token = simtest::LoginToken(cli, sim.User(), sim.Password());
    ASSERT_FALSE(token.empty());
    httplib::Headers h = {{"X-Auth-Token", token}};
    auto vms = cli.Get("/service/sites/5D1C0A7E/vms?detail=2&name=web-01", h);
    ASSERT_TRUE(vms);
    json vm = json::parse(vms->body)["vms"][0];
    auto snap = cli.Post((vm["uri"].get<std::string>() + "/snapshots").c_str(), h,
                         json({{"name", "s"}}).dump(), "application/json");
    ASSERT_TRUE(snap);
    std::string res =
        vm["vmConfig"]["disks"][0]["volumeUri"].get<std::string>() + "/backupresources";
    json body = {{"taskType", "CBTBackup"},
                 {"snapUrn2", json::parse(snap->body)["urn"]},
                 {"ip", "127.0.0.1"}};
    auto prep = cli.Post(res.c_str(), h, body.dump(), "application/json");
    ASSERT_TRUE(prep);
    ASSERT_EQ(prep->status, 200) << prep->body;
    std::string uri = json::parse(prep->body)["taskUri"];
    std::string id = uri.substr(uri.rfind('/') + 1);
    json r = json::object();
    for (int i = 0; i < 5 && r.value("status", "") != "success"; ++i) {
        auto g = cli.Get((res + "/" + id).c_str(), h);
        ASSERT_TRUE(g);
        r = json::parse(g->body);
    }
    EXPECT_EQ(r["status"], "success");
    EXPECT_EQ(r["hostPort"].get<int>(), sim.CnaPort());
    if (sim.Cna()) {
        EXPECT_NE(sim.CnaPort(), 0);
    }

    sim.Stop();
    EXPECT_FALSE(std::filesystem::exists(stateDir));  // the temporary state went with it
}

}  // namespace
