// A backup's manifest as the repository reads it. The manifest carries a SHA-256 of itself,
// which a mutated input would never match; so when the input is a JSON object its checksum
// is recomputed first (input byte 0 == '!' skips that, to feed the text as it is). A manifest
// that is accepted must come back the same after writing it out and reading it again.
#include <string>

#include "ChunkStore.h"
#include "FuzzCommon.h"
#include "Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string id = "20260101T000000-000000-00000000";
    if (!text.empty() && text[0] == '!') {
        text.erase(0, 1);
    } else {
        nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        if (j.is_object()) {
            j.erase("sha256");
            const auto it = j.find("id");
            if (it != j.end() && it->is_string()) id = it->get<std::string>();
            const std::string body = j.dump();
            j["sha256"] = Sha256Hex(body.data(), body.size());
            text = j.dump(1);
        }
    }
    SManifest manifest;
    std::string error;
    if (!ManifestFromText(text, id, manifest, error)) {
        fuzz::Require(!error.empty(), "a refusal says why");
        return 0;
    }
    fuzz::Require(manifest.vecIndexes.size() == manifest.info.vecDisks.size(),
                  "one index per disk");
    for (size_t i = 0; i < manifest.vecIndexes.size(); ++i) {
        // Exact arithmetic: the index holds the fewest chunks that cover the capacity.
        const unsigned __int128 chunks = manifest.vecIndexes[i].size();
        const unsigned __int128 chunk = manifest.info.ullChunkSize;
        const unsigned __int128 capacity = manifest.info.vecDisks[i].ullCapacity;
        fuzz::Require(
            chunks * chunk >= capacity && (chunks == 0 || (chunks - 1) * chunk < capacity),
            "the index covers the disk");
    }
    SManifest again;
    fuzz::Require(ManifestFromText(ManifestToText(manifest), id, again, error),
                  "a written manifest reads back");
    fuzz::Require(ManifestToText(again) == ManifestToText(manifest), "the same manifest");
    return 0;
}
