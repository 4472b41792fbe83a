// Small texts of the management service: times, random hex, UUIDs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fcsim {

std::string TimeText(int64_t secs);  // "YYYY-MM-DD HH:MM:SS", UTC
std::string RandomHex(size_t bytes);
std::string NewUuid();

}  // namespace fcsim
