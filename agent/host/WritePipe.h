// Hands pieces read from a disk to the repository on a thread of its own, so that hashing
// and writing one piece overlaps the read of the next. A few buffers go round: the reader
// fills a free one, the writer drains it and gives it back. The first write error stops both.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Repository.h"

namespace fcagent {

class CWritePipe {
public:
    CWritePipe(CDiskWriter& writer, size_t nBufferBytes, size_t nBuffers = 3);
    ~CWritePipe();  // Finish() if not done
    CWritePipe(const CWritePipe&) = delete;
    CWritePipe& operator=(const CWritePipe&) = delete;

    // A buffer to read into; null once the writer has failed.
    unsigned char* Acquire();
    // Queues the acquired buffer's first nLength bytes for ullOffset.
    void Submit(unsigned char* pBuffer, uint64_t ullOffset, size_t nLength);
    // Gives the acquired buffer back unwritten.
    void Release(unsigned char* pBuffer);
    // Waits until everything queued is written; false with the writer's error.
    bool Finish(std::string& strError);

private:
    struct SPiece {
        unsigned char* pBuffer;
        uint64_t ullOffset;
        size_t nLength;
    };
    void Run();

    CDiskWriter& m_writer;
    std::vector<std::vector<unsigned char>> m_buffers;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<unsigned char*> m_free;
    std::deque<SPiece> m_queue;
    bool m_bClosing = false;
    bool m_bFailed = false;
    bool m_bFinished = false;
    std::string m_strError;
    std::thread m_thread;
};

}  // namespace fcagent
