// The table: each figure beside its anchor (what it is measured against) and its target.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "Bench.h"
#include "WzFile.h"

namespace fcbench {

namespace {

// ratio = value / anchor (or the value itself where there is no anchor) against the target:
// at least it, or with bAtMost at most it. No target: shown for its figure alone.
struct SRow {
    const char* name;
    const char* anchor;
    double target;
    bool bAtMost;
};

const SRow kRows[] = {
    {"read.socket.64KiB", "read.ceiling.64KiB", 0, false},
    {"read.socket.256KiB", "read.ceiling.256KiB", 0, false},
    {"read.socket.1MiB", "read.ceiling.1MiB", 0.9, false},
    {"read.socket.4MiB", "read.ceiling.4MiB", 0.9, false},
    {"read.socket.64KiB", "nbdcopy.read.64KiB", 0, false},
    {"read.socket.256KiB", "nbdcopy.read.256KiB", 0, false},
    {"read.socket.1MiB", "nbdcopy.read.1MiB", 1.0, false},
    {"read.socket.4MiB", "nbdcopy.read.4MiB", 1.0, false},
    {"read.socket.64KiB.server-cpu", "read.ceiling.64KiB.server-cpu", 0, false},
    {"read.socket.256KiB.server-cpu", "read.ceiling.256KiB.server-cpu", 0, false},
    {"read.socket.1MiB.server-cpu", "read.ceiling.1MiB.server-cpu", 0, false},
    {"read.socket.4MiB.server-cpu", "read.ceiling.4MiB.server-cpu", 0, false},
    {"read.socket.1MiB.server-cpu", "nbdcopy.read.1MiB.server-cpu", 0, false},
    {"read.socket.4MiB.server-cpu", "nbdcopy.read.4MiB.server-cpu", 0, false},
    {"read.socket.1MiB.client-cpu", "read.ceiling.1MiB.client-cpu", 0, false},
    {"read.socket.4MiB.client-cpu", "read.ceiling.4MiB.client-cpu", 0, false},
    {"read.sdk-lan.1MiB", "read.socket-beside-lan.1MiB", 0.9, false},
    {"read.sdk-lan.4MiB", "read.socket-beside-lan.4MiB", 0.9, false},
    {"read.san.1MiB", "read.pread.1MiB", 0.9, false},
    {"read.san.4MiB", "read.pread.4MiB", 0.9, false},
    {"write.socket.64KiB", "write.ceiling.64KiB", 0, false},
    {"write.socket.256KiB", "write.ceiling.256KiB", 0, false},
    {"write.socket.1MiB", "write.ceiling.1MiB", 0.8, false},
    {"write.socket.4MiB", "write.ceiling.4MiB", 0.8, false},
    {"write.socket.1MiB", "nbdcopy.write.1MiB", 0, false},
    {"restore.fcbackup.writing", "write.socket.1MiB", 0, false},
    {"restore.chain", "", 0, false},
    {"backup.full.data-disk", "read.socket.1MiB", 0.7, false},
    {"backup.full.data-disk", "repo.plain-write", 0, false},
    {"backup.full.data-disk.memory-repo", "read.socket.1MiB", 0, false},
    {"backup.full.cpu.memory-repo", "", 0, false},
    {"backup.full.cpu.jobs1", "", 0, false},
    {"backup.full.cpu.jobs2", "", 0, false},
    {"backup.full.jobs2", "backup.full.jobs1", 1.5, false},
    {"incremental.read-share", "", 2.0, true},
    {"incremental.time-share", "", 5.0, true},
    {"incremental.changed-share", "", 0, false},
    {"backup.rss.jobs1", "", 64, true},
    {"backup.rss.jobs2", "", 64, true},
    {"restore.rss", "", 64, true},
    {"hot.ProcessCBTBitmap.dense.0", "", 1000, false},
    {"hot.ProcessCBTBitmap.dense.1", "", 1000, false},
    {"hot.FusionStorageBitmapVolume", "", 2000, false},
    {"hot.ToolOutputParser", "", 0, false},
    {"hot.ChunkChecksum", "", 0, false},
    {"hot.ChunkCompress", "", 0, false},
};

// Small figures (CPU seconds per GB) keep three decimals.
std::string Num(double d) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), d < 10 ? "%.3f" : "%.1f", d);
    return sz;
}

}  // namespace

bool Report(const CFigures& figures, const std::string& strOut, std::string& err) {
    nlohmann::json results = nlohmann::json::array();
    bool allMet = true;
    std::printf("%-34s %10s %-6s %-32s %10s %7s %8s %s\n", "figure", "value", "unit", "anchor",
                "anchor", "ratio", "target", "met");
    for (const SRow& row : kRows) {
        double value = 0, anchor = 0;
        if (!figures.Get(row.name, value)) continue;
        const bool hasAnchor = *row.anchor && figures.Get(row.anchor, anchor) && anchor > 0;
        if (*row.anchor && !hasAnchor) continue;
        const double ratio = hasAnchor ? value / anchor : value;
        const bool hasTarget = row.target > 0;
        const bool met = !hasTarget || (row.bAtMost ? ratio <= row.target : ratio >= row.target);
        allMet = allMet && met;
        std::string unit;
        for (const SFigure& f : figures.All())
            if (f.strName == row.name) unit = f.strUnit;
        char target[32] = "-";
        if (hasTarget)
            std::snprintf(target, sizeof(target), "%s%.4g", row.bAtMost ? "<=" : ">=", row.target);
        std::printf("%-34s %10s %-6s %-32s %10s %7.2f %8s %s\n", row.name, Num(value).c_str(),
                    unit.c_str(), hasAnchor ? row.anchor : "-",
                    hasAnchor ? Num(anchor).c_str() : "-", ratio, target,
                    hasTarget ? (met ? "yes" : "NO") : "-");
        results.push_back({{"name", row.name},
                           {"value", value},
                           {"unit", unit},
                           {"anchor", row.anchor},
                           {"anchor_value", hasAnchor ? nlohmann::json(anchor) : nlohmann::json()},
                           {"ratio", ratio},
                           {"target", hasTarget ? nlohmann::json(row.target) : nlohmann::json()},
                           {"met", hasTarget ? nlohmann::json(met) : nlohmann::json()}});
    }
    std::printf("other figures:");
    for (const SFigure& f : figures.All())
        std::printf(" %s=%s%s", f.strName.c_str(), Num(f.dValue).c_str(), f.strUnit.c_str());
    std::printf("\n");
    if (!WriteWholeFile(strOut, results.dump(1) + "\n")) {
        err = "cannot write " + strOut;
        return false;
    }
    return allMet;
}

}  // namespace fcbench
