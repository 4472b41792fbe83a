#include "Manifest.h"

#include <algorithm>
#include <ctime>
#include <random>
#include <stdexcept>

#include "ChunkStore.h"
#include "RepoFiles.h"

using nlohmann::json;

namespace {
constexpr const char* kFormat = "fc-backup-manifest";
constexpr int kVersion = 1;
constexpr const char* kSuffix = ".json";

// Version 1 has no patches; a manifest with patches is version 2, which older readers refuse
// instead of restoring the bases without them.
constexpr int kVersionPatched = 2;

json IndexToJson(const std::vector<std::string>& vecChunks, const TPatchMap& mapPatches,
                 uint64_t ullChunkSize) {
    json j = json::array();
    for (size_t i = 0; i < vecChunks.size(); ++i) {
        json e = json::array(
            {i * ullChunkSize, vecChunks[i].empty() ? json(nullptr) : json(vecChunks[i])});
        const auto it = mapPatches.find(i);
        if (it != mapPatches.end()) {
            json patches = json::array();
            for (const SPatch& p : it->second)
                patches.push_back(json::array({p.ullWithin, p.ullLength, p.strHash}));
            e.push_back(std::move(patches));
        }
        j.push_back(std::move(e));
    }
    return j;
}

// A count, size or time: a non-negative integer. Anything else is refused rather than converted
// (a fraction would be cut, and a number beyond 64 bits does not convert at all).
uint64_t Unsigned(const json& j, const char* szWhat) {
    if (!j.is_number_unsigned())
        throw std::invalid_argument(std::string(szWhat) + " is not a non-negative integer");
    return j.get<uint64_t>();
}

bool PatchesFromJson(const json& j, uint64_t ullChunkLen, std::vector<SPatch>& vecOut) {
    if (!j.is_array() || j.empty()) return false;
    for (const json& p : j) {
        if (!p.is_array() || p.size() != 3 || !p[0].is_number_unsigned() ||
            !p[1].is_number_unsigned() || p[0].get<uint64_t>() >= ullChunkLen ||
            p[1].get<uint64_t>() == 0 ||
            p[1].get<uint64_t>() > ullChunkLen - p[0].get<uint64_t>() || !p[2].is_string() ||
            !IsChunkHash(p[2].get<std::string>()))
            return false;
        vecOut.push_back(
            SPatch{p[0].get<uint64_t>(), p[1].get<uint64_t>(), p[2].get<std::string>()});
    }
    return true;
}

bool IndexFromJson(const json& j, uint64_t ullCapacity, uint64_t ullChunkSize, bool bPatched,
                   std::vector<std::string>& vecOut, TPatchMap& mapPatches, std::string& strError) {
    const uint64_t ullCount = ChunkCount(ullCapacity, ullChunkSize);
    if (!j.is_array() || j.size() != ullCount) {
        strError = "the index does not cover the disk";
        return false;
    }
    vecOut.clear();
    mapPatches.clear();
    for (size_t i = 0; i < j.size(); ++i) {
        const json& e = j[i];
        const uint64_t ullLen = std::min(ullChunkSize, ullCapacity - i * ullChunkSize);
        if (!e.is_array() || e.size() < 2 || e.size() > (bPatched ? 3 : 2) ||
            !e[0].is_number_unsigned() || e[0].get<uint64_t>() != i * ullChunkSize ||
            !(e[1].is_null() || (e[1].is_string() && IsChunkHash(e[1].get<std::string>()))) ||
            (e.size() == 3 && !PatchesFromJson(e[2], ullLen, mapPatches[i]))) {
            strError = "index entry " + std::to_string(i) + " is malformed";
            return false;
        }
        vecOut.push_back(e[1].is_null() ? std::string() : e[1].get<std::string>());
    }
    return true;
}

bool ParseManifest(const json& j, SManifest& m, std::string& strError) {
    const auto itVersion = j.find("version");
    if (j.value("format", "") != kFormat || itVersion == j.end() ||
        !itVersion->is_number_unsigned() ||
        (itVersion->get<uint64_t>() != kVersion && itVersion->get<uint64_t>() != kVersionPatched)) {
        strError = "not a backup manifest of a known version";
        return false;
    }
    const bool bPatched = itVersion->get<uint64_t>() == kVersionPatched;
    SBackupInfo& info = m.info;
    info.strId = j.at("id").get<std::string>();
    info.vm.strName = j.at("vm").at("name").get<std::string>();
    info.vm.strGuid = j.at("vm").at("guid").get<std::string>();
    info.vm.jInfo = j.at("vm").at("info");
    const std::string strKind = j.at("kind").get<std::string>();
    if (strKind != "full" && strKind != "incremental") {
        strError = "unknown kind " + strKind;
        return false;
    }
    info.eKind = strKind == "full" ? EBackupKind::Full : EBackupKind::Incremental;
    info.strParentId = j.at("parent").get<std::string>();
    if (!info.strParentId.empty() && !IsBackupId(info.strParentId)) {
        strError = "invalid parent id '" + info.strParentId + "'";
        return false;
    }
    info.ullCreatedUs = Unsigned(j.at("created_us"), "created_us");
    info.bComplete = j.at("complete").get<bool>();
    info.bCompressed = j.at("compressed").get<bool>();
    info.ullChunkSize = Unsigned(j.at("chunk_size"), "chunk_size");
    if (info.ullChunkSize == 0 || info.ullChunkSize > (1ull << 31)) {
        strError = "invalid chunk size";
        return false;
    }
    for (const json& d : j.at("disks")) {
        SDiskRecord disk{d.at("name").get<std::string>(), Unsigned(d.at("capacity"), "capacity"),
                         d.at("change_token").get<std::string>()};
        if (!IsPlainName(disk.strName)) {
            strError = "invalid disk name '" + disk.strName + "'";
            return false;
        }
        m.vecIndexes.emplace_back();
        m.vecPatches.emplace_back();
        if (!IndexFromJson(d.at("index"), disk.ullCapacity, info.ullChunkSize, bPatched,
                           m.vecIndexes.back(), m.vecPatches.back(), strError)) {
            strError = "disk " + disk.strName + ": " + strError;
            return false;
        }
        info.vecDisks.push_back(std::move(disk));
    }
    return true;
}
}  // namespace

uint64_t ChunkCount(uint64_t ullCapacity, uint64_t ullChunkSize) {
    // Not (capacity + size - 1) / size, which wraps for a capacity near 2^64.
    return ullCapacity / ullChunkSize + (ullCapacity % ullChunkSize != 0 ? 1 : 0);
}

bool IsBackupId(const std::string& str) {
    if (str.empty() || str.size() > 64) return false;
    for (char c : str)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-'))
            return false;
    return true;
}

bool IsPlainName(const std::string& str) {
    return !str.empty() && str != "." && str != ".." &&
           std::none_of(str.begin(), str.end(), [](char c) {
               return static_cast<unsigned char>(c) < 32 || c == '/' || c == '\\';
           });
}

std::string NewBackupId(uint64_t ullCreatedUs) {
    const time_t t = static_cast<time_t>(ullCreatedUs / 1000000);
    struct tm tmUtc;
    gmtime_r(&t, &tmUtc);
    char szTime[32];
    strftime(szTime, sizeof szTime, "%Y%m%dT%H%M%S", &tmUtc);
    char szRest[32];
    std::random_device rd;
    snprintf(szRest, sizeof szRest, "-%06u-%08x", static_cast<unsigned>(ullCreatedUs % 1000000),
             static_cast<unsigned>(rd()));
    return std::string(szTime) + szRest;
}

bool ComposeChunk(const std::string& strBase, const std::vector<SPatch>& vecPatches, size_t nLength,
                  const TChunkGet& get, std::string& strOut, std::string& strError) {
    if (strBase.empty())
        strOut.assign(nLength, '\0');
    else if (!get(strBase, strOut, strError))
        return false;
    if (strOut.size() != nLength) {
        strError = "chunk " + strBase + " does not fit its place in the disk";
        return false;
    }
    std::string strPatch;
    for (const SPatch& p : vecPatches) {
        if (!get(p.strHash, strPatch, strError)) return false;
        if (strPatch.size() != p.ullLength || p.ullWithin > nLength ||
            p.ullLength > nLength - p.ullWithin) {
            strError = "patch " + p.strHash + " does not fit its chunk";
            return false;
        }
        strOut.replace(p.ullWithin, strPatch.size(), strPatch);
    }
    return true;
}

std::string ManifestPath(const std::string& strRoot, const std::string& strId) {
    return strRoot + "/backups/" + strId + kSuffix;
}

std::string ManifestToText(const SManifest& m) {
    const SBackupInfo& info = m.info;
    json j;
    j["format"] = kFormat;
    const bool bPatched = std::any_of(m.vecPatches.begin(), m.vecPatches.end(),
                                      [](const TPatchMap& p) { return !p.empty(); });
    j["version"] = bPatched ? kVersionPatched : kVersion;
    j["id"] = info.strId;
    j["vm"] = {{"name", info.vm.strName}, {"guid", info.vm.strGuid}, {"info", info.vm.jInfo}};
    j["kind"] = info.eKind == EBackupKind::Full ? "full" : "incremental";
    j["parent"] = info.strParentId;
    j["created_us"] = info.ullCreatedUs;
    j["complete"] = info.bComplete;
    j["compressed"] = info.bCompressed;
    j["chunk_size"] = info.ullChunkSize;
    j["disks"] = json::array();
    for (size_t i = 0; i < info.vecDisks.size(); ++i) {
        const SDiskRecord& d = info.vecDisks[i];
        j["disks"].push_back(
            {{"name", d.strName},
             {"capacity", d.ullCapacity},
             {"change_token", d.strChangeToken},
             {"index",
              IndexToJson(m.vecIndexes[i], i < m.vecPatches.size() ? m.vecPatches[i] : TPatchMap(),
                          info.ullChunkSize)}});
    }
    const std::string strBody = j.dump();
    j["sha256"] = Sha256Hex(strBody.data(), strBody.size());
    return j.dump(1) + "\n";
}

bool ManifestFromText(const std::string& strText, const std::string& strExpectedId,
                      SManifest& manifest, std::string& strError) {
    manifest = SManifest();
    try {
        json j = json::parse(strText);
        if (!j.is_object() || !j.contains("sha256") || !j["sha256"].is_string()) {
            strError = "manifest " + strExpectedId + " carries no checksum";
            return false;
        }
        const std::string strSum = j["sha256"].get<std::string>();
        j.erase("sha256");
        const std::string strBody = j.dump();
        if (Sha256Hex(strBody.data(), strBody.size()) != strSum) {
            strError = "manifest " + strExpectedId + " is damaged (checksum mismatch)";
            return false;
        }
        if (!ParseManifest(j, manifest, strError)) {
            strError = "manifest " + strExpectedId + ": " + strError;
            return false;
        }
    } catch (const std::exception& e) {
        strError = "manifest " + strExpectedId + " is malformed: " + e.what();
        return false;
    }
    if (manifest.info.strId != strExpectedId) {
        strError = "manifest " + strExpectedId + " names another backup";
        return false;
    }
    return true;
}

bool LoadManifest(const std::string& strRoot, const std::string& strId, SManifest& manifest,
                  std::string& strError) {
    if (!IsBackupId(strId)) {
        strError = "invalid backup id '" + strId + "'";
        return false;
    }
    std::string strText;
    return ReadWholeFile(ManifestPath(strRoot, strId), strText, strError) &&
           ManifestFromText(strText, strId, manifest, strError);
}

bool LoadAllManifests(const std::string& strRoot, std::vector<SManifest>& vecOut,
                      std::string& strError) {
    vecOut.clear();
    std::vector<std::string> vecNames;
    if (!ListDir(strRoot + "/backups", vecNames, strError)) return false;
    const std::string strSuffix = kSuffix;
    for (const std::string& strName : vecNames) {
        if (strName.size() <= strSuffix.size() ||
            strName.compare(strName.size() - strSuffix.size(), strSuffix.size(), strSuffix) != 0 ||
            strName.rfind(kTempPrefix, 0) == 0)
            continue;
        SManifest m;
        if (!LoadManifest(strRoot, strName.substr(0, strName.size() - strSuffix.size()), m,
                          strError))
            return false;
        if (m.info.bComplete) vecOut.push_back(std::move(m));
    }
    std::sort(vecOut.begin(), vecOut.end(), [](const SManifest& a, const SManifest& b) {
        return a.info.ullCreatedUs != b.info.ullCreatedUs
                   ? a.info.ullCreatedUs < b.info.ullCreatedUs
                   : a.info.strId < b.info.strId;
    });
    return true;
}
