// A backup's manifest: its record and, per disk, the hash of every chunk (empty for zero) and
// the patches laid over some of them.
//
// The JSON carries a SHA-256 of itself (computed over the document without that member), so
// a damaged manifest is refused instead of pointing a restore at the wrong chunks.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Repository.h"

// Bytes an incremental wrote into part of a chunk, stored as a chunk of their own and laid
// over the chunk's base at ullWithin: the base (often the parent's chunk) is then neither read
// nor stored again.
struct SPatch {
    uint64_t ullWithin = 0;
    uint64_t ullLength = 0;
    std::string strHash;
};
// Per chunk index, the patches in the order they apply (a later one wins where they overlap).
using TPatchMap = std::map<uint64_t, std::vector<SPatch>>;

struct SManifest {
    SBackupInfo info;
    std::vector<std::vector<std::string>> vecIndexes;  // parallel to info.vecDisks
    std::vector<TPatchMap> vecPatches;                 // parallel to info.vecDisks
};

// Reads a chunk by its hash, as the chunk store and a batch being written both do.
using TChunkGet =
    std::function<bool(const std::string& strHash, std::string& strContent, std::string& strError)>;
// The chunk's content: its base (zero when strBase is empty) at nLength bytes with the patches
// laid over it. A base or patch that does not fit the chunk is an error.
bool ComposeChunk(const std::string& strBase, const std::vector<SPatch>& vecPatches, size_t nLength,
                  const TChunkGet& get, std::string& strOut, std::string& strError);

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
