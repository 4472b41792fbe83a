// Logging: formatted lines to log files and to the live in-memory captures.
#include "EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "WzFile.h"

namespace {

std::string DefaultLogFolder() {
    const char* dir = ::getenv("FC_LOG_DIR");
    return (dir && *dir) ? dir : "/tmp/fcbackup-logs";
}

std::string FormatV(const char* fmt, va_list args) {
    if (!fmt) return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = ::vsnprintf(small, sizeof(small), fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    ::vsnprintf(&out[0], out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Every live capture; a capture registers itself for its lifetime.
std::mutex& CaptureRegistryLock() {
    static std::mutex* lock = new std::mutex();  // outlives static destructors that still log
    return *lock;
}
std::vector<EvLogCapture*>& CaptureRegistry() {
    static std::vector<EvLogCapture*>* captures = new std::vector<EvLogCapture*>();
    return *captures;
}

std::string LineHeader(int64_t jobId, bool isError, int level) {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    time_t secs = tv.tv_sec;
    ::localtime_r(&secs, &local);
    char when[32];
    ::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
    char head[160];
    ::snprintf(head, sizeof(head), "%s.%03d %d:%ld %lld %s%s", when,
               static_cast<int>(tv.tv_usec / 1000), static_cast<int>(::getpid()),
               static_cast<long>(::syscall(SYS_gettid)), static_cast<long long>(jobId),
               isError ? "ERR" : "DBG", isError ? "" : std::to_string(level).c_str());
    return head;
}

}  // namespace

EvDebugFileInstance::EvDebugFileInstance()
    : m_strFileName(CWzPath::Append(DefaultLogFolder(), "fcbackup.log")) {}

EvDebugFileInstance::EvDebugFileInstance(const std::string& fileName) : m_strFileName(fileName) {}

EvDebugFileInstance::~EvDebugFileInstance() {
    if (m_fd >= 0) ::close(m_fd);
}

EvDebugFileInstance& EvDebugFileInstance::Default() {
    static EvDebugFileInstance* instance = new EvDebugFileInstance();  // lives until exit
    return *instance;
}

void EvDebugFileInstance::Write(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd < 0) {
        std::string folder = CWzPath::GetDirectory(m_strFileName);
        if (!folder.empty()) FXPath::CreateDirectories(folder);
        m_fd = ::open(m_strFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) return;  // logging must never fail the caller
    }
    std::string text = line;
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(m_fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

EvDebug::EvDebug() = default;
EvDebug::~EvDebug() = default;

void EvDebug::initialize(EvDebugFileInstance* instance, uint32_t id, int /*options*/,
                         bool /*append*/, const char* /*name*/) {
    // Log files are only ever appended to: re-initialising a logger must not wipe what the
    // earlier jobs wrote.
    m_pInstance = instance;
    m_nId = id;
}

void EvDebug::Emit(bool isError, int level, const char* tag, int64_t jobId,
                   const std::string& text) {
    SEvLogLine line;
    line.bError = isError;
    line.nLevel = level;
    line.llJobId = jobId;
    line.strTag = tag ? tag : "";
    line.strText = text;

    EvDebugFileInstance& file = m_pInstance ? *m_pInstance : EvDebugFileInstance::Default();
    file.Write(LineHeader(jobId, isError, level) + " [" + line.strTag + "] " + text);

    std::lock_guard<std::mutex> guard(CaptureRegistryLock());
    for (EvLogCapture* capture : CaptureRegistry()) capture->Add(line);
}

#define EV_FORMAT_AND_EMIT(isError, level, tag, jobId) \
    do {                                               \
        va_list args;                                  \
        va_start(args, fmt);                           \
        std::string text = FormatV(fmt, args);         \
        va_end(args);                                  \
        Emit(isError, level, tag, jobId, text);        \
    } while (0)

void EvDebug::Debug(const char* tag, const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(false, 0, tag, CurrentJobId());
}
void EvDebug::Error(const char* tag, const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(true, 0, tag, CurrentJobId());
}
void EvDebug::DebugLvl(const char* tag, int level, const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(false, level, tag, CurrentJobId());
}
void EvDebug::DebugJob(const char* tag, int64_t jobId, const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(false, 0, tag, jobId);
}
void EvDebug::debug(const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(false, 0, "", CurrentJobId());
}
void EvDebug::debugLvl(int level, const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(false, level, "", CurrentJobId());
}
void EvDebug::error(const char* fmt, ...) {
    EV_FORMAT_AND_EMIT(true, 0, "", CurrentJobId());
}

#undef EV_FORMAT_AND_EMIT

std::string EvDebug::getClientName() {
    const char* name = ::getenv("FC_CLIENT_NAME");
    if (name && *name) return name;
    char host[256] = {0};
    if (::gethostname(host, sizeof(host) - 1) != 0) return std::string();
    return host;
}

EvLogCapture::EvLogCapture() {
    std::lock_guard<std::mutex> guard(CaptureRegistryLock());
    CaptureRegistry().push_back(this);
}

EvLogCapture::~EvLogCapture() {
    std::lock_guard<std::mutex> guard(CaptureRegistryLock());
    auto& all = CaptureRegistry();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void EvLogCapture::Add(const SEvLogLine& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.push_back(line);
}

std::vector<SEvLogLine> EvLogCapture::Lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

size_t EvLogCapture::Count(const std::string& fragment) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<size_t>(std::count_if(
        m_lines.begin(), m_lines.end(),
        [&](const SEvLogLine& l) { return l.strText.find(fragment) != std::string::npos; }));
}

void EvLogCapture::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

std::string EvLogCapture::Dump() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string out;
    for (const SEvLogLine& l : m_lines) {
        out += l.bError ? "ERR " : "DBG" + std::to_string(l.nLevel) + " ";
        out += "[" + l.strTag + "] " + l.strText + "\n";
    }
    return out;
}
