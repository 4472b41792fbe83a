// VM and disk creation, descriptors and the restore helpers, and fault injection.
#include <fstream>

#include "RawCna.h"
#include "SimTestUtil.h"

namespace simtest {
namespace {

using RestoreTest = CSimFixture;
using FaultTest = CSimFixture;

class CnaFaultTest : public CSimFixture {
protected:
    CnaFaultTest() { m_bStartCna = true; }

    // Whether the CNA answers an open (with a token no lease has: it answers "bad token").
    bool AnswersAnOpen() {
        rawcna::CRawConn c(m_sim.CnaPort());
        c.Send(rawcna::OpenRequest(1, "", "x", 0));
        return c.Recv(24).size() == 24;
    }
};

TEST_F(RestoreTest, VolumesVmsAndNics) {
    json ds = Ok("GET", m_strSite + "/datastores?name=ds-san")["datastores"][0];
    uint64_t freeBefore = ds["freeSizeBytes"];
    json started = Ok("POST", m_strSite + "/volumes",
                      {{"name", "r1"},
                       {"capacityBytes", 8 << 20},
                       {"datastoreUrn", ds["urn"]},
                       {"type", "normal"},
                       {"isThin", "false"},
                       {"uuid", "11111111-2222-4333-8444-555555555555"}});
    EXPECT_EQ(WaitTask(started)["status"], "success");
    json vol = Ok("GET", started["uri"]);
    EXPECT_EQ(json({vol["capacityBytes"], vol["quantityGB"], vol["vmUrn"]}),
              json({8 << 20, 1, ""}));
    EXPECT_EQ(Ok("GET", ds["uri"])["freeSizeBytes"], freeBefore - (8 << 20));
    // A uuid in use, a size not in sectors, an unknown datastore, more than it has free.
    const std::pair<json, const char*> refusals[] = {
        {{{"capacityBytes", 4096}, {"uuid", "11111111-2222-4333-8444-555555555555"}}, "10000009"},
        {{{"capacityBytes", 1000}}, "10000001"},
        {{{"quantityGB", 1}, {"datastoreUrn", "urn:sites:5D1C0A7E:datastores:99999"}}, "10410006"},
        {{{"quantityGB", 4096}}, "10410011"},
    };
    for (const auto& [change, code] : refusals) {
        json body = {{"datastoreUrn", ds["urn"]}};
        body.update(change);
        Err("POST", m_strSite + "/volumes", body, code);
    }
    Ok("PUT", vol["uri"], {{"name", "renamed"}});
    EXPECT_EQ(Ok("GET", vol["uri"])["name"], "renamed");
    EXPECT_EQ(Ok("GET", m_strSite + "/volumes?uuid=11111111-2222-4333-8444-555555555555")["total"],
              1);

    json cluster = Ok("GET", m_strSite + "/clusters?name=cluster-b")["clusters"][0];
    json vmStarted =
        Ok("POST", m_strSite + "/vms",
           {{"name", "restored"},
            {"location", cluster["urn"]},
            {"autoBoot", "false"},
            {"uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
            {"vmConfig",
             {{"cpu", {{"quantity", 4}}}, {"disks", json::array()}, {"nics", json::array()}}}});
    WaitTask(vmStarted);
    // (Made stopped with the uuid asked for, placed on a host: BridgeSim.RestoreFromRecord.)
    json vm = Ok("GET", vmStarted["uri"]);
    EXPECT_EQ(vm["clusterName"], "cluster-b");
    EXPECT_EQ(vm["hostName"], "cna-03");
    std::string uri = vm["uri"];
    WaitTask(Ok("POST", uri + "/action/attachvol", {{"volUrn", vol["urn"]}}));
    Err("POST", uri + "/action/attachvol", {{"volUrn", vol["urn"]}}, "10300074");
    json nic = Ok("POST", uri + "/virtualNics", {{"name", "eth0"}, {"portGroupName", "pg-backup"}});
    WaitTask(nic);
    Err("POST", uri + "/virtualNics", {{"name", "eth1"}, {"portGroupUrn", "urn:nope"}}, "10540107");
    // (One disk and one NIC then, counted: BridgeSim.RestoreFromRecord.)
    vm = Ok("GET", uri);
    EXPECT_EQ(vm["vmConfig"]["disks"][0]["sequenceNum"], 1);
    EXPECT_EQ(vm["vmConfig"]["nics"][0]["portGroupName"], "pg-backup");
    Err("DELETE", vol["uri"], nullptr, "10420009");  // attached

    WaitTask(Ok("POST", uri + "/action/start"));
    Err("POST", uri + "/action/start", nullptr, "10300094");
    WaitTask(Ok("POST", uri + "/action/stop", {{"mode", "force"}}));
    Err("POST", uri + "/action/stop", {{"mode", "force"}}, "10300092");
    Err("POST", m_strSite + "/vms",
        {{"name", "dup"},
         {"location", cluster["urn"]},
         {"uuid", vm["uuid"]},
         {"vmConfig", json::object()}},
        "10000009");

    // Deleting with isReserveDisks keeps the volume, detached; without, it goes.
    WaitTask(Ok("DELETE", uri + "?isReserveDisks=1"));
    EXPECT_EQ(Ok("GET", vol["uri"])["vmUrn"], "");
    WaitTask(Ok("DELETE", vol["uri"]));
    Err("GET", vol["uri"], nullptr, "10420004");
    EXPECT_FALSE(std::ifstream(m_sim.State().DiskPath(IdOf(vol["urn"]))).good());
}

TEST_F(RestoreTest, OvfRoundTripDiskMapReconnectAndHostileNames) {
    json src = VmByName("web-01");
    std::string ovf = Ok("POST", src["uri"].get<std::string>() + "/action/createdescriptor",
                         json::object())["ovfDescriptor"];
    std::string jsonDesc =
        Ok("POST", src["uri"].get<std::string>() + "/action/createjsondescriptor",
           json::object())["jsonDescriptor"];
    EXPECT_EQ(json::parse(jsonDesc)["uuid"], src["uuid"]);
    // Only the second disk is restored: one new volume stands for it.
    json srcDisk2 = src["vmConfig"]["disks"][1];
    json ds = Ok("GET", m_strSite + "/datastores?name=ds-local")["datastores"][0];
    json vs = Ok("POST", m_strSite + "/volumes",
                 {{"capacityBytes", srcDisk2["capacityBytes"]},
                  {"datastoreUrn", ds["urn"]},
                  {"isThin", true}});
    json vol = Ok("GET", vs["uri"]);
    json cluster = Ok("GET", m_strSite + "/clusters?name=cluster-a")["clusters"][0];
    json body = {{"ovfDescriptor", ovf},
                 {"name", "web-01-restored"},
                 {"location", cluster["urn"]},
                 {"diskMap", {{vol["uuid"].get<std::string>(), srcDisk2["volumeUuid"]}}}};
    json started = Ok("POST", m_strSite + "/vms/action/importovf", body);
    EXPECT_EQ(WaitTask(started)["status"], "success");
    // (Named as asked, stopped, with the source's networks: FlowsEndToEnd's restore from the
    // descriptor.)
    json vm = Ok("GET", started["uri"]);
    EXPECT_EQ(vm["vmConfig"]["cpu"]["quantity"], src["vmConfig"]["cpu"]["quantity"]);
    ASSERT_EQ(vm["vmConfig"]["disks"].size(), 1u);
    EXPECT_EQ(vm["vmConfig"]["disks"][0]["volumeUrn"], vol["urn"]);
    EXPECT_EQ(vm["vmConfig"]["disks"][0]["sequenceNum"], 2);
    EXPECT_NE(vm["vmConfig"]["nics"][0]["mac"], src["vmConfig"]["nics"][0]["mac"]);  // in use

    // Reconnect from a descriptor that moves nic2 to pg-prod.
    json desc = json::parse(jsonDesc);
    desc["vmConfig"]["nics"][1]["portGroupUrn"] = desc["vmConfig"]["nics"][0]["portGroupUrn"];
    json rc = Ok("POST", vm["uri"].get<std::string>() + "/action/reconnectnics",
                 {{"jsonDescriptor", desc.dump()}});
    EXPECT_EQ(rc["reconnected"], 2);
    vm = Ok("GET", vm["uri"]);
    EXPECT_EQ(vm["vmConfig"]["nics"][1]["portGroupName"], "pg-prod");
    Err("POST", vm["uri"].get<std::string>() + "/action/reconnectnics",
        {{"jsonDescriptor", "{\"vmConfig\": 3}"}}, "10000001");

    // Refusals: a volume that is attached, a map value naming no OVF disk, a broken OVF.
    body["diskMap"] = {{vol["uuid"].get<std::string>(), srcDisk2["volumeUuid"]}};
    Err("POST", m_strSite + "/vms/action/importovf", body, "10300074");
    json vs2 =
        Ok("POST", m_strSite + "/volumes", {{"capacityBytes", 4096}, {"datastoreUrn", ds["urn"]}});
    body["diskMap"] = {{vs2["urn"].get<std::string>(), "no-such-disk"}};
    Err("POST", m_strSite + "/vms/action/importovf", body, "10000001");
    body["diskMap"] = {{"urn:sites:5D1C0A7E:volumes:999999", srcDisk2["volumeUuid"]}};
    Err("POST", m_strSite + "/vms/action/importovf", body, "10300078");
    body.erase("diskMap");
    body["ovfDescriptor"] = ovf.substr(0, ovf.size() / 2);  // (more: SimPieces.OvfReader...)
    Err("POST", m_strSite + "/vms/action/importovf", body, "10000001");

    // A hostile name is escaped in the descriptor and read back whole.
    std::string evil = "a\"<b>&'</Name><Name>x";
    started = Ok(
        "POST", m_strSite + "/vms",
        {{"name", evil}, {"location", cluster["urn"]}, {"vmConfig", {{"disks", json::array()}}}});
    ovf = Ok("POST", started["uri"].get<std::string>() + "/action/createdescriptor",
             json::object())["ovfDescriptor"];
    EXPECT_EQ(ovf.find("</Name><Name>x"), std::string::npos);
    json re = Ok("POST", m_strSite + "/vms/action/importovf",
                 {{"ovfDescriptor", ovf}, {"location", cluster["urn"]}});
    EXPECT_EQ(Ok("GET", re["uri"])["name"], evil);
}

TEST_F(FaultTest, RulesFireOnTheNthCallAndSpendThemselves) {
    json vm = VmByName("web-01");
    std::string snaps = vm["uri"].get<std::string>() + "/snapshots";
    m_sim.Faults().Add(fcsim::CFaultTable::SnapshotRetryable(2));
    Err("POST", snaps, {{"name", "a"}}, "10300112");
    Err("POST", snaps, {{"name", "a"}}, "10300112");
    EXPECT_EQ(WaitTask(Ok("POST", snaps, {{"name", "a"}}))["status"], "success");

    // Through the control endpoint: the 2nd matching call fails through its task.
    json id = Ok("POST", "/sim/faults",
                 {{"op", "CreateSnapshot"},
                  {"nth", 2},
                  {"action", "taskfail"},
                  {"errorCode", "10300112"},
                  {"errorDes", "busy now"}});
    EXPECT_GT(id["id"].get<int>(), 0);
    EXPECT_EQ(WaitTask(Ok("POST", snaps, {{"name", "b"}}))["status"], "success");
    json failed = WaitTask(Ok("POST", snaps, {{"name", "c"}}));
    EXPECT_EQ(json({failed["status"], failed["reason"], failed["reasonDes"]}),
              json({"failed", "10300112", "busy now"}));
    json root = Ok("GET", snaps)["rootSnapshots"];  // "a" and "b"; the failed one took nothing
    ASSERT_EQ(root.size(), 1u);
    ASSERT_EQ(root[0]["childSnapshots"].size(), 1u);
    EXPECT_TRUE(root[0]["childSnapshots"][0]["childSnapshots"].empty());

    // A path glob with a method and a body that is not JSON. (A lease extension refused:
    // CDiskFixture.DiskAccessLeasesPrepareExtendExpireRelease.)
    Ok("POST", "/sim/faults",
       {{"path", "/service/sites/*/vms/**"}, {"method", "GET"}, {"action", "badjson"}});
    SResult bad = Call("GET", vm["uri"]);
    EXPECT_EQ(bad.nStatus, 200);
    EXPECT_TRUE(bad.body.is_null());
    EXPECT_EQ(Call("GET", vm["uri"]).nStatus, 200);
    json listed = Ok("GET", "/sim/faults")["faults"];
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2]["fired"], 1);
    // A dropped answer: the head arrives, the body never does, so the call fails as a whole.
    Ok("POST", "/sim/faults", {{"op", "GetVm"}, {"action", "drop"}});
    EXPECT_EQ(Call("GET", vm["uri"]).nStatus, 0);
    EXPECT_EQ(Call("GET", vm["uri"]).nStatus, 200);
    Ok("DELETE", "/sim/faults");
    EXPECT_TRUE(Ok("GET", "/sim/faults")["faults"].empty());
    Err("POST", "/sim/faults", {{"action", "error"}}, "10000001");  // matches nothing
    Err("POST", "/sim/faults", {{"op", "X"}, {"action", "explode"}}, "10000001");

    // A slow answer still answers.
    Ok("POST", "/sim/faults", {{"op", "ListSites"}, {"action", "delay"}, {"delayMs", 5}});
    EXPECT_EQ(Ok("GET", "/service/sites")["sites"].size(), 1u);
    EXPECT_EQ(Ok("GET", "/sim/faults")["faults"].back()["fired"], 1);

    // Run-time settings through the control endpoint.
    Ok("POST", "/sim/config", {{"taskPolls", 0}});
    EXPECT_EQ(Ok("GET", Ok("POST", snaps, {{"name", "e"}})["taskUri"])["status"], "success");
    Ok("POST", "/sim/config", {{"version", 62}});
    EXPECT_EQ(Ok("GET", "/service/versions")["versions"][1]["version"], "v6.2");
    Err("GET", "/service/sites", nullptr, "10000022");  // this client still says 6.3
    Err("POST", "/sim/config", {{"version", 7}}, "10000001");
    EXPECT_EQ(Ok("GET", "/sim/info")["version"], 62);
    // This simulator runs no CNA: its rules are refused.
    EXPECT_EQ(409, Err("GET", "/sim/cna/faults", nullptr, "10000010"));
    EXPECT_EQ(409, Err("POST", "/sim/cna/faults", {{"rule", "op=read"}}, "10000010"));
}

// CNA rules through the control endpoint: added as text, read back whole, fired on the CNA,
// listed with their counts and cleared; refused when they do not read, or without a CNA.
TEST_F(CnaFaultTest, RulesAddedListedFiredAndCleared) {
    EXPECT_TRUE(AnswersAnOpen());
    json added = Ok("POST", "/sim/cna/faults", {{"rule", "op=open action=drop"}});
    EXPECT_EQ(added["rule"], "op=open nth=1 times=1 from=0 to=0 action=drop status=8 stall_ms=0");
    EXPECT_FALSE(AnswersAnOpen());
    EXPECT_TRUE(AnswersAnOpen());  // spent
    json listed = Ok("GET", "/sim/cna/faults")["faults"];
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], json({{"rule", added["rule"]}, {"seen", 2}, {"fired", 1}}));
    Ok("DELETE", "/sim/cna/faults");
    EXPECT_TRUE(Ok("GET", "/sim/cna/faults")["faults"].empty());
    Err("POST", "/sim/cna/faults", {{"rule", "op=read action=explode"}}, "10000001");
    Err("POST", "/sim/cna/faults", json::object(), "10000001");
    EXPECT_TRUE(Ok("GET", "/sim/cna/faults")["faults"].empty());
}

TEST_F(FaultTest, GuestWriteThroughTheControlEndpoint) {
    json disk = VmByName("app-01")["vmConfig"]["disks"][0];
    std::string volId = IdOf(disk["volumeUrn"]);
    uint64_t seq = m_sim.State().ChangeSeq(volId);
    json r = Ok("POST", "/sim/guestwrite",
                {{"volumeUrn", disk["volumeUrn"]}, {"offset", 4096}, {"hex", "DEADbeef"}});
    EXPECT_EQ(r["changeSeq"], seq + 1);
    auto w = m_sim.State().WritesBetween(volId, seq, seq + 1);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(std::make_pair(w[0].ullOffset, w[0].ullLength),
              std::make_pair(uint64_t(4096), uint64_t(4)));
    Ok("POST", "/sim/guestwrite",
       {{"volumeUrn", disk["volumeUrn"]}, {"offset", 0}, {"length", 10}, {"fill", 7}});
    uint64_t cap = disk["capacityBytes"];
    Err("POST", "/sim/guestwrite",
        {{"volumeUrn", disk["volumeUrn"]}, {"offset", cap - 2}, {"hex", "000000"}}, "10000001");
    Err("POST", "/sim/guestwrite", {{"volumeUrn", disk["volumeUrn"]}, {"offset", 0}, {"hex", "0g"}},
        "10000001");
    EXPECT_EQ(m_sim.State().ChangeSeq(volId), seq + 2);
}

}  // namespace
}  // namespace simtest
