// Logging of the agent framework. A line carries time, thread, job id, level and tag; lines
// go to the file bound with initialize() (or the process's default log file) and to any live
// EvLogCapture, which is how tests assert the system's own messages.
//
// Environment:
//   FC_LOG_DIR      folder of the default log file (default /tmp/fcbackup-logs; created when
//                   missing). Read when the default file instance is first used.
//   FC_CLIENT_NAME  the client name getClientName() reports (default: the machine's host name).
//
// A file line reads "YYYY-MM-DD HH:MM:SS.mmm pid:tid job level [tag] message", where level is
// "ERR" for error lines and "DBG<n>" for debug lines of level n (DBG0 for plain debug lines).
// The message is the caller's formatted text; format strings are never built from data.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "NxExport.h"

#define EV_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// One log file, opened for appending on first write. The default instance writes to
// "<FC_LOG_DIR>/fcbackup.log". A file that cannot be opened drops file output silently (the
// lines still reach live captures).
class NX_EXPORT EvDebugFileInstance {
public:
    EvDebugFileInstance();
    explicit EvDebugFileInstance(const std::string& fileName);
    ~EvDebugFileInstance();
    EvDebugFileInstance(const EvDebugFileInstance&) = delete;
    EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

    void Write(const std::string& line);
    const std::string& FileName() const { return m_strFileName; }
    static EvDebugFileInstance& Default();

private:
    std::string m_strFileName;
    std::mutex m_lock;
    int m_fd = -1;
};

class NX_EXPORT EvDebug {
public:
    EvDebug();
    virtual ~EvDebug();

    // Binds this logger to a file instance (null: the default file). Files are only ever
    // appended to: append = false does not truncate, so re-initialising a logger keeps what
    // earlier jobs wrote. id, options and name are kept for the caller's bookkeeping only.
    void initialize(EvDebugFileInstance* instance, uint32_t id, int options, bool append,
                    const char* name);

    void Debug(const char* tag, const char* fmt, ...) EV_PRINTF(3, 4);
    void Error(const char* tag, const char* fmt, ...) EV_PRINTF(3, 4);
    void DebugLvl(const char* tag, int level, const char* fmt, ...) EV_PRINTF(4, 5);
    void DebugJob(const char* tag, int64_t jobId, const char* fmt, ...) EV_PRINTF(4, 5);
    void debug(const char* fmt, ...) EV_PRINTF(2, 3);
    void debugLvl(int level, const char* fmt, ...) EV_PRINTF(3, 4);
    void error(const char* fmt, ...) EV_PRINTF(2, 3);

    // The agent's client name (FC_CLIENT_NAME, else the machine's host name).
    static std::string getClientName();

    virtual int64_t CurrentJobId() const { return 0; }

protected:
    void Emit(bool isError, int level, const char* tag, int64_t jobId, const std::string& text);

private:
    EvDebugFileInstance* m_pInstance = nullptr;
    uint32_t m_nId = 0;
};

// A logger that belongs to a job: its lines carry the job id.
class NX_EXPORT EvEvent : public EvDebug {
public:
    EvEvent() = default;
    int64_t getJobId() const { return m_llJobId; }
    void setJobId(int64_t jobId) { m_llJobId = jobId; }
    int64_t CurrentJobId() const override { return m_llJobId; }

private:
    int64_t m_llJobId = 0;
};

struct SEvLogLine {
    bool bError = false;
    int nLevel = 0;  // 0 for plain debug lines
    int64_t llJobId = 0;
    std::string strTag;
    std::string strText;  // the formatted message
};

// While alive, every log line of the process is also kept in memory. Captures may nest.
class NX_EXPORT EvLogCapture {
public:
    EvLogCapture();
    ~EvLogCapture();
    EvLogCapture(const EvLogCapture&) = delete;
    EvLogCapture& operator=(const EvLogCapture&) = delete;

    std::vector<SEvLogLine> Lines() const;
    // Number of lines whose text contains the fragment.
    size_t Count(const std::string& fragment) const;
    bool Contains(const std::string& fragment) const { return Count(fragment) > 0; }
    void Clear();
    // Everything captured, one line per entry, for failure messages.
    std::string Dump() const;

    void Add(const SEvLogLine& line);  // called by the logger

private:
    mutable std::mutex m_lock;
    std::vector<SEvLogLine> m_lines;
};
