#include "MgmtText.h"

#include <cstdio>
#include <ctime>
#include <random>

namespace fcsim {

std::string TimeText(int64_t secs) {
    time_t t = static_cast<time_t>(secs);
    struct tm tmv {};
    gmtime_r(&t, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

std::string RandomHex(size_t bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    FILE* f = std::fopen("/dev/urandom", "rb");
    for (size_t i = 0; i < bytes; ++i) {
        int c = f ? std::fgetc(f) : EOF;
        if (c == EOF) {
            static std::mt19937_64 rng{std::random_device{}()};
            c = static_cast<int>(rng() & 0xff);
        }
        out.push_back(kDigits[(c >> 4) & 0xf]);
        out.push_back(kDigits[c & 0xf]);
    }
    if (f) std::fclose(f);
    return out;
}

std::string NewUuid() {
    std::string h = RandomHex(16);
    h[12] = '4';
    h[16] = "89ab"[h[16] % 4];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
           "-" + h.substr(20, 12);
}

}  // namespace fcsim
