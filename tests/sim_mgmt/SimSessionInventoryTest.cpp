// Sessions, versions and the demo inventory as the REST surface shows them.
#include "Sha256.h"
#include "SimTestUtil.h"

namespace simtest {
namespace {

using SessionTest = CSimFixture;
using InventoryTest = CSimFixture;

// The version list at 6.3: BridgeSim.FlagBitsLookupsAndFolders reads it; at 6.2 set
// through /sim/config: FaultTest.RulesFireOnTheNthCallAndSpendThemselves.
TEST_F(SessionTest, AcceptHeadersVersionsAndBadRequests) {
    EXPECT_EQ(Err("GET", "/service/nothing", nullptr, "10000001"), 404);
    EXPECT_EQ(Err("PUT", m_strSite + "/vms", nullptr, "10000001"), 405);
    Err("GET", "/service/sites/FFFFFFFF/vms", nullptr, "10000020");
    Err("GET", m_strSite + "/tasks/999999", nullptr, "10000008");
    Err("GET", m_strSite + "/vms?limit=101", nullptr, "10000013");
    Err("GET", m_strSite + "/vms?offset=-1", nullptr, "10000016");
    Err("GET", m_strSite + "/vms?detail=7", nullptr, "10000001");
    auto res = m_pCli->Post((m_strSite + "/volumes").c_str(), {{"X-Auth-Token", m_strToken}},
                            "{not json", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(json({res->status, json::parse(res->body)["errorCode"]}), json({400, "10000001"}));
    for (const char* accept : {"application/json;version=v6.3;charset=UTF-8",
                               "application/json;charset=UTF-8;version=6.3;", "application/json"}) {
        EXPECT_EQ(Call("GET", "/service/sites", nullptr, {{"Accept", accept}}).nStatus, 200)
            << accept;
    }
    SResult r =
        Call("GET", "/service/sites", nullptr, {{"Accept", "application/json;version=8.0"}});
    EXPECT_EQ(json({r.nStatus, r.body["errorCode"]}), json({400, "10000022"}));
    m_sim.SetVersion(62);  // the simulator's own setter; /sim/config's: FaultTest
    EXPECT_EQ(Ok("GET", "/service/versions")["versions"][1]["version"], "v6.2");
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
    EXPECT_EQ(json({r.nStatus, r.body["errorCode"]}), json({401, "10000002"}));
    ASSERT_TRUE(Login());
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 200);

    EXPECT_EQ(Call("DELETE", "/service/session").nStatus, 200);
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 401);
    m_strToken.clear();
    EXPECT_EQ(Call("GET", "/service/sites").nStatus, 401);
}

// The names of a list's records, in the order of the answer.
std::string Names(const json& list) {
    std::string out;
    for (const json& r : list) out += (out.empty() ? "" : " ") + r["name"].get<std::string>();
    return out;
}

// What the service's filters select where the bridge filters again on its side, so that only
// these tests see a filter the service ignores. (The filters the bridge takes as they come:
// folders by type, BridgeSim.FlagBitsLookupsAndFolders; hosts of a cluster, VMs of a host and the
// unfiltered datastore list, BridgeSim.FlagBitsLookupsAndFolders.)
TEST_F(InventoryTest, DemoTopologyFiltersAndVmFields) {
    json sites = Ok("GET", "/service/sites")["sites"];
    ASSERT_EQ(sites.size(), 1u);
    EXPECT_TRUE(sites[0]["isSelf"].get<bool>());
    auto first = [&](const std::string& path, const char* key) {
        return Ok("GET", m_strSite + path)[key][0];
    };
    const std::string pool = first("/folder?type=0", "folders")["urn"];
    const std::string prod = first("/folder?type=1", "folders")["urn"];
    const std::string web = first("/folder?type=1&parentObjUrn=" + prod, "folders")["urn"];
    const json db = VmByName("db-01");
    const std::string dvs = first("/dvswitchs", "dvSwitchs")["urn"];
    const struct {
        std::string strPath;
        const char* szKey;
        const char* szNames;
    } lists[] = {
        {"/clusters?parentObjUrn=" + pool, "clusters", "cluster-a"},
        {"/clusters?parentObjUrn=urn:sites:5D1C0A7E", "clusters", "cluster-b"},
        {"/hosts?limit=3&offset=2", "hosts", "cna-03 cna-spare"},
        {"/folder?type=1&parentObjUrn=" + prod, "folders", "web"},
        {"/vms?detail=0&scope=" + web, "vms", "web-01"},
        {"/vms?isTemplate=true", "vms", "tpl-linux"},
        {"/vms?scope=" + db["vmConfig"]["disks"][1]["volumeUrn"].get<std::string>(), "vms",
         "db-01"},
        {"/dvswitchs/" + IdOf(dvs) + "/portgroups", "portGroups", "pg-prod pg-backup"},
    };
    for (const auto& l : lists)
        EXPECT_EQ(Names(Ok("GET", m_strSite + l.strPath)[l.szKey]), l.szNames) << l.strPath;
    EXPECT_EQ(Ok("GET", m_strSite + "/hosts?limit=3&offset=2")["total"], 4);
    json datastores = Ok("GET", m_strSite + "/datastores");
    for (auto& d : datastores["datastores"]) {
        EXPECT_GT(d["capacityBytes"].get<uint64_t>(), d["freeSizeBytes"].get<uint64_t>());
        EXPECT_EQ(d["capacityGB"].get<uint64_t>(), d["capacityBytes"].get<uint64_t>() >> 30);
    }

    // What the plug-in reads of each VM (its disk and NIC counts:
    // BridgeSim.FlagBitsLookupsAndFolders).
    json vms = Ok("GET", m_strSite + "/vms?detail=2");
    for (auto& v : vms["vms"]) {
        EXPECT_EQ(v["uuid"].get<std::string>().size(), 36u);
        EXPECT_EQ(v["isTemplate"].get<bool>(), v["name"] == "tpl-linux") << v["name"];
        int seq = 0;
        for (auto& d : v["vmConfig"]["disks"]) {
            EXPECT_GT(d["sequenceNum"].get<int>(), seq);  // in slot order
            seq = d["sequenceNum"];
            EXPECT_EQ(d["capacityBytes"].get<uint64_t>() % 512, 0u);
            EXPECT_EQ(d["volNameOnDev"] != "", d["storageType"] == "DSWARE");
        }
    }
    EXPECT_TRUE(db["vmConfig"]["disks"][2]["indepDisk"].get<bool>());
    EXPECT_EQ(VmByName("app-01")["pvDriverStatus"], "notRunning");
    // detail 0 and 1 leave out what they should.
    const std::string byUuid = m_strSite + "/vms?uuid=" + db["uuid"].get<std::string>();
    json brief = Ok("GET", byUuid + "&detail=0");
    ASSERT_EQ(brief["total"], 1);
    EXPECT_FALSE(brief["vms"][0].contains("vmConfig"));
    EXPECT_FALSE(Ok("GET", byUuid + "&detail=1")["vms"][0]["vmConfig"].contains("disks"));
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
