// A backup's manifest: its record and, per disk, the hash of every chunk (empty for zero).
//
// The JSON carries a SHA-256 of itself (computed over the document without that member), so
// a damaged manifest is refused instead of pointing a restore at the wrong chunks.
#pragma once

#include <string>
#include <vector>

#include "Repository.h"

struct SManifest {
    SBackupInfo info;
    std::vector<std::vector<std::string>> vecIndexes;  // parallel to info.vecDisks
};

uint64_t ChunkCount(uint64_t ullCapacity, uint64_t ullChunkSize);
bool IsBackupId(const std::string& str);
std::string NewBackupId(uint64_t ullCreatedUs);
std::string ManifestPath(const std::string& strRoot, const std::string& strId);

std::string ManifestToText(const SManifest& manifest);
bool ManifestFromText(const std::string& strText, const std::string& strExpectedId,
                      SManifest& manifest, std::string& strError);
bool LoadManifest(const std::string& strRoot, const std::string& strId, SManifest& manifest,
                  std::string& strError);
// Every committed manifest, oldest first; fails on the first one that is damaged.
bool LoadAllManifests(const std::string& strRoot, std::vector<SManifest>& vecOut,
                      std::string& strError);
