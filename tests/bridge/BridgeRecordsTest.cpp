// JSON-to-record mapping and the identifier rules, on answers shaped like the service's.
#include <gtest/gtest.h>

#include "JsonUtil.h"
#include "Records.h"

using namespace FusionComputeSDKCppBridge;

TEST(BridgeIds, UrnToUriRefusesAnythingThatLeavesItsPath) {
    EXPECT_EQ(UrnToUri("urn:sites:5D1C0A7E:vms:i-00000003"),
              "/service/sites/5D1C0A7E/vms/i-00000003");
    EXPECT_EQ(UrnToUri("urn:sites:1:vms:i-1:snapshots:52"),
              "/service/sites/1/vms/i-1/snapshots/52");
    for (const char* bad :
         {"", "sites:1", "urn:", "urn:sites::vms", "urn:sites:..:vms", "urn:sites:1/../x",
          "urn:sites:1?x=1", "urn:sites:1%2F", "urn:sites:a b", "urn:sites:1:"})
        EXPECT_EQ(UrnToUri(bad), "") << bad;
    EXPECT_EQ(UrnId("urn:sites:1:volumes:21"), "21");
    EXPECT_EQ(UrlEncode("a b/c&d=é"), "a%20b%2Fc%26d%3D%C3%A9");
}

TEST(BridgeJson, TolerantReaders) {
    json j;
    ASSERT_TRUE(ParseJson(R"({"n":"42","b":"TRUE","f":false,"s":7,"bad":"4x","arr":3,
        "huge":1e300,"tiny":-1e300,"top":9223372036854775808.0,"u":18446744073709551615,
        "max":9223372036854775807,"real":12.9,"neg":-3})",
                          j));
    // Numbers in text are read; numbers outside 64 bits give the default.
    std::vector<int64_t> got;
    for (const char* key :
         {"n", "bad", "missing", "huge", "tiny", "top", "u", "max", "real", "neg"})
        got.push_back(JInt(j, key, -1));
    EXPECT_EQ(got, (std::vector<int64_t>{42, -1, -1, -1, -1, -1, -1, INT64_MAX, 12, -3}));
    EXPECT_TRUE(JBool(j, "b"));
    EXPECT_FALSE(JBool(j, "f", true));
    EXPECT_EQ(JStr(j, "s"), "7");
    EXPECT_TRUE(JArr(j, "arr").empty());  // not an array: empty, no throw
    EXPECT_TRUE(JArr(json(5), "x").empty());
    EXPECT_FALSE(ParseJson("{\"a\":", j));
    EXPECT_TRUE(ParseJson("  ", j));
    EXPECT_TRUE(j.is_null());
}

TEST(BridgeRecords, VMWithDisksNicsAndFlagsControllingLists) {
    json vm;
    ASSERT_TRUE(ParseJson(R"({
      "urn":"urn:sites:S:vms:i-3","uri":"/service/sites/S/vms/i-3","uuid":"6e1b","name":"web",
      "status":"running","isTemplate":"false","hostName":"cna-01","hostUrn":"urn:sites:S:hosts:4",
      "clusterUrn":"urn:sites:S:clusters:2","clusterName":"cl","params":{"parentObjUrn":"urn:sites:S:folders:9"},
      "osOptions":{"osType":"Linux"},
      "vmConfig":{"cpu":{"quantity":2},"memory":{"quantityMB":4096},
        "disks":[{"sequenceNum":1,"pciType":"VIRTIO","volumeUrn":"urn:sites:S:volumes:21","volumeUuid":"v21",
                  "diskName":"d1","quantityGB":1,"capacityBytes":1073741312,"datastoreUrn":"urn:sites:S:datastores:11",
                  "isThin":true,"indepDisk":false,"volNameOnDev":""},
                 {"sequenceNum":2,"volumeUrn":"urn:sites:S:volumes:22","quantityGB":2,"isThin":false,"volType":0,
                  "indepDisk":true,"volNameOnDev":"fsvol-22"},
                 {"sequenceNum":3,"volumeUrn":"urn:sites:S:volumes:23","quantityGB":1,"volType":1}],
        "nics":[{"urn":"urn:sites:S:vms:i-3:nics:1","name":"nic1","mac":"28:6e","portGroupUrn":"urn:pg","portGroupName":"pg"}]}})",
                          vm));
    SVMInfo r;
    std::string why;
    ASSERT_TRUE(MapVM(vm, true, true, r, why)) << why;
    EXPECT_EQ(r.strGUID + " " + r.strFolderID, "6e1b urn:sites:S:folders:9");
    EXPECT_EQ((std::vector<uint64_t>{uint64_t(r.nPowerState), r.bIsTemplate, uint64_t(r.nCPUCount),
                                     r.ullMemoryMB}),
              (std::vector<uint64_t>{1, 0, 2, 4096}));
    // Per disk: name, capacity (exact bytes win over whole GB), provisioning, independence,
    // unit, datastore, volume name on the storage device.
    std::vector<std::string> disks;
    for (const SDisk& d : r.vecDisks)
        disks.push_back(d.strName + " " + std::to_string(d.ullCapacity) + " " +
                        std::to_string(d.nProvisioningType) + "/" +
                        std::to_string(d.bIsIndependent) + "/" + std::to_string(d.nUnitNumber) +
                        " " + d.strDatastore + " " + d.strStorageVolumeName);
    EXPECT_EQ(disks, (std::vector<std::string>{
                         "urn:sites:S:volumes:21 1073741312 2/0/1 urn:sites:S:datastores:11 ",
                         "urn:sites:S:volumes:22 2147483648 3/1/2  fsvol-22",
                         "urn:sites:S:volumes:23 1073741824 1/0/3  "}));
    ASSERT_EQ(r.vecNetworkCards.size(), 1u);
    EXPECT_EQ(r.vecNetworkCards[0].strNetworkID, "urn:pg");

    ASSERT_TRUE(MapVM(vm, false, false, r, why));
    EXPECT_TRUE(r.vecDisks.empty());
    EXPECT_TRUE(r.vecNetworkCards.empty());

    json noUuid = vm;
    noUuid.erase("uuid");
    EXPECT_FALSE(MapVM(noUuid, true, true, r, why));
    EXPECT_NE(why.find("uuid"), std::string::npos);
    json badDisk = vm;
    badDisk["vmConfig"]["disks"][1].erase("volumeUrn");
    EXPECT_FALSE(MapVM(badDisk, true, false, r, why));
    EXPECT_FALSE(MapVM(json::array(), true, false, r, why));
}

TEST(BridgeRecords, SnapshotTreeIsFlattenedWithParentsAndTimes) {
    json tree;
    ASSERT_TRUE(ParseJson(R"({"currentSnapshot":null,"rootSnapshots":[
      {"urn":"urn:s:1","name":"daily","createTime":"1970-01-02 00:00:01","childSnapshots":[
        {"urn":"urn:s:2","name":"__VQ_BACKUP__","createTime":"2026-12-06 16:31:02","childSnapshots":[
          {"urn":"urn:s:3","name":"deep","createTimeSecs":77}]}]},
      {"urn":"urn:s:4","name":"other","createTime":"2000-01-01 00:00:00"}]})",
                          tree));
    std::vector<SSnapshot> out;
    std::string why;
    ASSERT_TRUE(MapSnapshotTree(tree, out, why)) << why;
    std::vector<std::string> flat;
    for (const SSnapshot& s : out)
        flat.push_back(s.strID + "<" + s.strParentID + " " + std::to_string(s.tCreateTime));
    EXPECT_EQ(flat, (std::vector<std::string>{"urn:s:1< 86401", "urn:s:2<urn:s:1 1796574662",
                                              "urn:s:3<urn:s:2 77", "urn:s:4< 946684800"}));

    tree["rootSnapshots"][1]["createTime"] = "yesterday";
    EXPECT_FALSE(MapSnapshotTree(tree, out, why));
    EXPECT_NE(why.find("yesterday"), std::string::npos);
    int64_t t = 0;
    EXPECT_FALSE(ParseUtcTime("2026-13-01 00:00:00", t));
    EXPECT_FALSE(ParseUtcTime("2026-12-01 00:00:00 extra", t));
}

TEST(BridgeRecords, SizesInGiBThatOverflowAreRefused) {
    json disk, store;
    ASSERT_TRUE(
        ParseJson(R"({"volumeUrn":"urn:sites:S:volumes:9","quantityGB":9000000000000})", disk));
    ASSERT_TRUE(ParseJson(
        R"({"urn":"urn:sites:S:datastores:1","actualCapacityGB":1,"freeSizeGB":9000000000000})",
        store));
    SDisk d;
    SDatastoreInfo ds;
    std::string why;
    EXPECT_FALSE(MapDisk(disk, "urn:sites:S:vms:i-1", d, why));
    EXPECT_NE(why.find("urn:sites:S:volumes:9 has a size that does not fit"), std::string::npos)
        << why;
    EXPECT_FALSE(MapDatastore(store, ds, why));
    EXPECT_NE(why.find("urn:sites:S:datastores:1 has a size that does not fit"), std::string::npos)
        << why;
    // The largest count that fits still maps.
    ASSERT_TRUE(ParseJson(R"({"volumeUrn":"urn:v","quantityGB":8589934591})", disk));
    ASSERT_TRUE(MapDisk(disk, "urn:vm", d, why)) << why;
    EXPECT_EQ(d.llSize, 8589934591LL << 30);
}
