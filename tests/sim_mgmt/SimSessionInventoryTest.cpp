// Sessions, versions and the demo inventory as the REST surface shows them.
#include "Sha256.h"
#include "SimTestUtil.h"

namespace simtest {
namespace {

using SessionTest = CSimFixture;
using InventoryTest = CSimFixture;

TEST_F(SessionTest, VersionsAndAcceptHeader) {
    json v = Ok("GET", "/service/versions");
    ASSERT_EQ(v["versions"].size(), 2u);
    EXPECT_EQ(v["versions"][1]["version"], "v6.3");
    m_sim.SetVersion(62);
    EXPECT_EQ(Ok("GET", "/service/versions")["versions"][1]["version"], "v6.2");
    m_sim.SetVersion(63);

    // Both spellings and any parameter order; another version is refused.
    for (const char* accept : {"application/json;version=v6.3;charset=UTF-8",
                               "application/json;charset=UTF-8;version=6.3;", "application/json"}) {
        EXPECT_EQ(Call("GET", "/service/sites", nullptr, {{"Accept", accept}}).nStatus, 200)
            << accept;
    }
    httplib::Headers h = {{"Accept", "application/json;version=8.0"}, {"X-Auth-Token", m_strToken}};
    auto res = m_pCli->Get("/service/sites", h);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(json::parse(res->body)["errorCode"], "10000022");
}

TEST_F(SessionTest, LoginVariantsExpiryAndLogout) {
    // The hash in upper case (compared without regard to letter case), the plain password under
    // either spelling of the header; the plain password where a hash is expected, a wrong
    // password, a missing header.
    const std::pair<httplib::Headers, int> logins[] = {
        {{{"X-Auth-Key", fctest::Sha256Hex("FcSim@2024", true)}}, 200},
        {{{"X-Auth-Key", "FcSim@2024"}, {"X-ENCRYPT-ALGORITHM", "1"}}, 200},
        {{{"X-Auth-Key", "FcSim@2024"}}, 400},
        {{{"X-Auth-Key", "wrong"}, {"X-ENCRIPT-ALGORITHM", "1"}}, 400},
        {{}, 400},
    };
    for (auto [h, nStatus] : logins) {
        h.emplace("X-Auth-User", "admin");
        auto res = m_pCli->Post("/service/session", h, "", "application/json");
        EXPECT_EQ(res ? res->status : 0, nStatus) << (h.size() > 1 ? h.begin()->second : "");
    }

    // A token idle for longer than the validity is forgotten; a new login works.
    int64_t now = fcsim::CSimState::Now();
    fcsim::CSimState::SetNowForTest(now);
    ASSERT_TRUE(Login());
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 200);
    fcsim::CSimState::SetNowForTest(now + 600);  // exactly the validity: still fine, renewed
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 200);
    fcsim::CSimState::SetNowForTest(now + 1201);
    SResult r = Call("GET", "/service/sites");
    EXPECT_EQ(r.nStatus, 401);
    EXPECT_EQ(r.body["errorCode"], "10000002");
    ASSERT_TRUE(Login());
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 200);

    EXPECT_EQ(Call("DELETE", "/service/session").nStatus, 200);
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 401);
    m_strToken.clear();
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 401);
}

TEST_F(SessionTest, BadRequestsGetErrorBodies) {
    EXPECT_EQ(Err("GET", "/service/nothing", nullptr, "10000001"), 404);
    EXPECT_EQ(Err("PUT", m_strSite + "/vms", nullptr, "10000001"), 405);
    Err("GET", "/service/sites/FFFFFFFF/vms", nullptr, "10000020");
    Err("GET", m_strSite + "/vms/i-7FFFFFFF", nullptr, "10000008");
    Err("GET", m_strSite + "/tasks/999999", nullptr, "10000008");
    Err("GET", m_strSite + "/vms?limit=101", nullptr, "10000013");
    Err("GET", m_strSite + "/vms?offset=-1", nullptr, "10000016");
    Err("GET", m_strSite + "/vms?detail=7", nullptr, "10000001");
    httplib::Headers h = {{"X-Auth-Token", m_strToken}};
    auto res = m_pCli->Post((m_strSite + "/volumes").c_str(), h, "{not json", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(json::parse(res->body)["errorCode"], "10000001");
}

TEST_F(InventoryTest, DemoTopology) {
    json sites = Ok("GET", "/service/sites")["sites"];
    ASSERT_EQ(sites.size(), 1u);
    EXPECT_TRUE(sites[0]["isSelf"].get<bool>());

    json clusters = Ok("GET", m_strSite + "/clusters")["clusters"];
    ASSERT_EQ(clusters.size(), 2u);
    json cfolders = Ok("GET", m_strSite + "/folder?type=0")["folders"];
    ASSERT_EQ(cfolders.size(), 1u);
    json inFolder =
        Ok("GET", m_strSite + "/clusters?parentObjUrn=" + cfolders[0]["urn"].get<std::string>());
    ASSERT_EQ(inFolder["clusters"].size(), 1u);
    EXPECT_EQ(inFolder["clusters"][0]["parentObjUrn"], cfolders[0]["urn"]);
    json top = Ok("GET", m_strSite + "/clusters?parentObjUrn=urn:sites:5D1C0A7E");
    EXPECT_EQ(top["clusters"].size(), 1u);

    json hosts = Ok("GET", m_strSite + "/hosts")["hosts"];
    ASSERT_EQ(hosts.size(), 4u);
    int freeHosts = 0;
    for (auto& h : hosts) freeHosts += h["clusterUrn"] == "" ? 1 : 0;
    EXPECT_EQ(freeHosts, 1);
    EXPECT_EQ(
        Ok("GET", m_strSite + "/hosts?scope=" + clusters[0]["urn"].get<std::string>())["total"], 2);
    json page = Ok("GET", m_strSite + "/hosts?limit=3&offset=2");
    EXPECT_EQ(page["total"], 4);
    EXPECT_EQ(page["hosts"].size(), 2u);
    EXPECT_EQ(page["hosts"][0]["urn"], hosts[2]["urn"]);

    json ds = Ok("GET", m_strSite + "/datastores")["datastores"];
    ASSERT_EQ(ds.size(), 3u);
    int dsware = 0;
    for (auto& d : ds) {
        if (d["storageType"] == "DSWARE") ++dsware;
        EXPECT_GT(d["capacityBytes"].get<uint64_t>(), d["freeSizeBytes"].get<uint64_t>());
        EXPECT_EQ(d["capacityGB"].get<uint64_t>(), d["capacityBytes"].get<uint64_t>() >> 30);
        if (d["name"] == "ds-san") {
            EXPECT_FALSE(d["isThin"].get<bool>());
            ASSERT_EQ(d["storageUnits"].size(), 2u);
            EXPECT_EQ(d["storageUnits"][0]["sdName"], "6888603000000001");
        }
    }
    EXPECT_EQ(dsware, 1);

    // VM folders nest: production/web.
    json vmFolders = Ok("GET", m_strSite + "/folder?type=1")["folders"];
    ASSERT_EQ(vmFolders.size(), 2u);
    json prod = vmFolders[0]["name"] == "production" ? vmFolders[0] : vmFolders[1];
    json sub =
        Ok("GET", m_strSite + "/folder?type=1&parentObjUrn=" + prod["urn"].get<std::string>());
    ASSERT_EQ(sub["folders"].size(), 1u);
    EXPECT_EQ(sub["folders"][0]["name"], "web");
    json inWeb =
        Ok("GET", m_strSite + "/vms?detail=0&scope=" + sub["folders"][0]["urn"].get<std::string>());
    ASSERT_EQ(inWeb["total"], 1);
    EXPECT_EQ(inWeb["vms"][0]["name"], "web-01");

    std::string dvs = Ok("GET", m_strSite + "/dvswitchs")["dvSwitchs"][0]["uri"];
    json pgs = Ok("GET", dvs + "/portgroups")["portGroups"];
    EXPECT_EQ(pgs.size(), 2u);
}

TEST_F(InventoryTest, VmsCarryWhatThePluginReads) {
    json vms = Ok("GET", m_strSite + "/vms?detail=2")["vms"];
    ASSERT_EQ(vms.size(), 5u);
    int templates = 0;
    for (auto& v : vms) {
        templates += v["isTemplate"].get<bool>() ? 1 : 0;
        size_t disks = v["vmConfig"]["disks"].size();
        EXPECT_GE(disks, 1u);
        EXPECT_LE(disks, 3u);
        EXPECT_GE(v["vmConfig"]["nics"].size(), 1u);
        EXPECT_EQ(v["uuid"].get<std::string>().size(), 36u);
        int seq = 0;
        for (auto& d : v["vmConfig"]["disks"]) {
            EXPECT_GT(d["sequenceNum"].get<int>(), seq);  // in slot order
            seq = d["sequenceNum"];
            EXPECT_EQ(d["capacityBytes"].get<uint64_t>() % 512, 0u);
            EXPECT_EQ(d["volNameOnDev"] != "", d["storageType"] == "DSWARE");
        }
    }
    EXPECT_EQ(templates, 1);
    json db = VmByName("db-01");
    ASSERT_EQ(db["vmConfig"]["disks"].size(), 3u);
    EXPECT_TRUE(db["vmConfig"]["disks"][2]["indepDisk"].get<bool>());
    EXPECT_EQ(db["status"], "running");
    EXPECT_EQ(VmByName("app-01")["pvDriverStatus"], "notRunning");

    // detail 0 and 1 leave out what they should; filters by uuid, host scope and template.
    json brief = Ok("GET", m_strSite + "/vms?detail=0&uuid=" + db["uuid"].get<std::string>());
    ASSERT_EQ(brief["total"], 1);
    EXPECT_FALSE(brief["vms"][0].contains("vmConfig"));
    json mid = Ok("GET", m_strSite + "/vms?detail=1&uuid=" + db["uuid"].get<std::string>());
    EXPECT_FALSE(mid["vms"][0]["vmConfig"].contains("disks"));
    EXPECT_EQ(Ok("GET", m_strSite + "/vms?isTemplate=true")["total"], 1);
    EXPECT_EQ(Ok("GET", m_strSite + "/vms?scope=" + db["hostUrn"].get<std::string>())["total"], 1);
    json byVol =
        Ok("GET",
           m_strSite + "/vms?scope=" + db["vmConfig"]["disks"][1]["volumeUrn"].get<std::string>());
    ASSERT_EQ(byVol["total"], 1);
    EXPECT_EQ(byVol["vms"][0]["name"], "db-01");
}

TEST_F(InventoryTest, StateSurvivesInAnotherServiceOnTheSameFolder) {
    json vm = VmByName("web-01");
    fcsim::CSimState state(m_sim.StateDir());
    fcsim::CFaultTable faults;
    fcsim::CMgmtService other(state, faults, fcsim::SMgmtSettings());
    std::string err;
    ASSERT_TRUE(other.Open(err)) << err;
    ASSERT_TRUE(other.Start("127.0.0.1", 0, false, err)) << err;
    httplib::Client cli("127.0.0.1", other.Port());
    const std::string token = LoginToken(cli);
    ASSERT_FALSE(token.empty());
    auto res = cli.Get((vm["uri"].get<std::string>()).c_str(), {{"X-Auth-Token", token}});
    ASSERT_TRUE(res);
    EXPECT_EQ(json::parse(res->body)["uuid"], vm["uuid"]);
    other.Stop();

    // A broken inventory file is refused with a clear error, not half loaded.
    ASSERT_TRUE(fcsim::CSimState::WriteFileAtomic(m_sim.StateDir() + "/inventory.json", "{"));
    fcsim::CMgmtService broken(state, faults, fcsim::SMgmtSettings());
    EXPECT_FALSE(broken.Open(err));
    EXPECT_NE(err.find("not a valid inventory"), std::string::npos) << err;
}

}  // namespace
}  // namespace simtest
