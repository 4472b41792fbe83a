// Extents, or writes, as (offset, length) pairs in their order: comparable to a literal list.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

template <typename List>
Ranges OffsetsAndLengths(const List& list) {
    Ranges out;
    for (const auto& e : list) out.push_back({e.ullOffset, e.ullLength});
    return out;
}
