// fcbench: the figures bench/run.sh reports. Each step measures one thing and appends named
// figures to a JSON file; the report step reads them back, sets each beside its anchor and its
// target, prints the table and writes the results.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace fcbench {

struct SFigure {
    std::string strName;
    double dValue = 0;
    std::string strUnit;
};

class CFigures {
public:
    explicit CFigures(std::string strPath) : m_strPath(std::move(strPath)) {}
    bool Load(std::string& strError);  // a missing file is an empty list
    bool Save(std::string& strError) const;
    void Add(const std::string& strName, double dValue, const std::string& strUnit);
    // The value of a figure; false when it was not measured.
    bool Get(const std::string& strName, double& dValue) const;
    const std::vector<SFigure>& All() const { return m_vec; }

private:
    std::string m_strPath;
    std::vector<SFigure> m_vec;
};

struct SPathsOptions {
    std::string strWork;  // scratch folder: the simulator's state, devices
    // The simulator's state on another file system than strWork's when one has room (tmpfs).
    bool bStateApart = false;
    uint64_t ullDiskBytes = 4ull << 30;
    std::vector<uint32_t> vecSizes = {64u << 10, 256u << 10, 1u << 20, 4u << 20};
};

// A request size as the figures name it: 64KiB, 1MiB.
std::string SizeName(uint32_t nBytes);

// The read and write paths through the plug-in's disk interface and their ceilings; then the
// whole fcbackup runs (full, incremental, restore) against the same simulator.
bool MeasurePaths(const SPathsOptions& options, CFigures& figures, std::string& strError);
bool MeasureEndToEnd(const SPathsOptions& options, const std::string& strFcbackup,
                     CFigures& figures, std::string& strError);

// The bench simulator with its connection printed, until SIGINT or SIGTERM.
bool ServeSimulator(const SPathsOptions& options, std::string& strError);

// Google Benchmark's JSON output of the hot loops, into figures.
bool ImportGoogleBenchmark(const std::string& strPath, CFigures& figures, std::string& strError);

// The table on standard output, the results (name, value, unit, anchor, anchor_value, ratio,
// target, met) as JSON. False when a target was missed.
bool Report(const CFigures& figures, const std::string& strOut, std::string& strError);

// The minimal synchronous client and server of the disk request shape: a header, then pread
// and one send of header and data (or header and data, pwrite, a status). Bytes per second of
// reading the whole file.
double CeilingRead(const std::string& strFile, uint64_t ullBytes, uint32_t nRequest);

// The same client and server, connected once, for transfers in pieces.
class CCeiling {
public:
    CCeiling(const std::string& strFile, bool bWrite);
    ~CCeiling();  // ends the server
    CCeiling(const CCeiling&) = delete;
    CCeiling& operator=(const CCeiling&) = delete;
    // Seconds to move the bytes from ullFrom to ullTo at the request size; 0 on a failure,
    // after which every transfer fails.
    double Transfer(uint64_t ullFrom, uint64_t ullTo, uint32_t nRequest);

private:
    int m_nFile = -1;
    int m_nListener = -1;
    int m_nFd = -1;
    bool m_bWrite;
    bool m_bConnected = false;
    std::vector<char> m_buffer;
    std::thread m_server;
};

// A file of the size with one MiB of data (never a zero block, never compressible) at the
// start of every `every` bytes; the rest holes.
bool WriteDataFile(const std::string& strPath, uint64_t ullBytes, uint64_t ullEvery,
                   std::string& strError);

// User and system CPU seconds of a getrusage record.
double CpuSeconds(const rusage& usage);

// Plain pread of the file at the request size.
double PlainRead(const std::string& strFile, uint64_t ullBytes, uint32_t nRequest);

}  // namespace fcbench
