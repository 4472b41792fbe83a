// Progress on standard error. The disk threads report; one lock orders the output.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "AgentHost.h"

namespace fcagent {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string FormatBytes(uint64_t ullBytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = double(ullBytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), u ? "%.1f %s" : "%.0f %s", v, units[u]);
    return buf;
}

namespace {

class CQuiet : public IProgress {
public:
    void Begin(const std::string&) override {}
    void AddTotal(uint64_t) override {}
    void Advance(uint64_t) override {}
    void End() override {}
};

class CTextProgress : public IProgress {
public:
    explicit CTextProgress(bool bTerminal) : m_bTerminal(bTerminal) {}

    void Begin(const std::string& strWhat) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_strWhat = strWhat;
        m_ullTotal = m_ullDone = 0;
        m_nTenths = 0;
        m_started = m_lastDraw = Clock::now();
        m_bDrawn = false;
    }
    void AddTotal(uint64_t ullBytes) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_ullTotal += ullBytes;
    }
    void Advance(uint64_t ullBytes) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_ullDone += ullBytes;
        const auto now = Clock::now();
        if (m_bTerminal) {
            if (now - m_lastDraw < std::chrono::milliseconds(100)) return;
            m_lastDraw = now;
            Draw(now);
        } else if (m_ullTotal) {
            const unsigned tenths = static_cast<unsigned>(m_ullDone * 10 / m_ullTotal);
            if (tenths <= m_nTenths) return;
            m_nTenths = tenths;
            std::fprintf(stderr, "%s: %u%% (%s of %s, %s/s)\n", m_strWhat.c_str(), tenths * 10,
                         FormatBytes(m_ullDone).c_str(), FormatBytes(m_ullTotal).c_str(),
                         FormatBytes(static_cast<uint64_t>(Rate(now))).c_str());
        }
    }
    void End() override {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_bTerminal && m_bDrawn) {
            Draw(Clock::now());
            std::fputc('\n', stderr);
        }
        m_bDrawn = false;
    }

private:
    double Rate(Clock::time_point now) const {
        const double secs = std::chrono::duration<double>(now - m_started).count();
        return secs > 0 ? double(m_ullDone) / secs : 0;
    }
    void Draw(Clock::time_point now) {
        const double share = m_ullTotal ? double(m_ullDone) / double(m_ullTotal) : 0;
        const int width = 24;
        std::string bar(static_cast<size_t>(share * width), '#');
        bar.resize(width, ' ');
        const double rate = Rate(now);
        char left[32] = "--:--";
        if (rate > 0 && m_ullTotal >= m_ullDone) {
            const unsigned secs = static_cast<unsigned>(double(m_ullTotal - m_ullDone) / rate);
            std::snprintf(left, sizeof(left), "%u:%02u", secs / 60, secs % 60);
        }
        std::fprintf(stderr, "\r%s [%s] %s / %s  %s/s  %s left \x1b[K", m_strWhat.c_str(),
                     bar.c_str(), FormatBytes(m_ullDone).c_str(), FormatBytes(m_ullTotal).c_str(),
                     FormatBytes(static_cast<uint64_t>(rate)).c_str(), left);
        m_bDrawn = true;
    }

    const bool m_bTerminal;
    std::mutex m_lock;
    std::string m_strWhat;
    uint64_t m_ullTotal = 0;
    uint64_t m_ullDone = 0;
    unsigned m_nTenths = 0;
    Clock::time_point m_started, m_lastDraw;
    bool m_bDrawn = false;
};

}  // namespace

std::unique_ptr<IProgress> MakeProgress(bool bQuiet) {
    if (bQuiet) return std::make_unique<CQuiet>();
    return std::make_unique<CTextProgress>(::isatty(STDERR_FILENO) == 1);
}

}  // namespace fcagent
