// The disks that a plug-in object's restores created and that no VM owns yet. The restore
// clean-up deletes a disk only when it is listed here: a name that the agent put into a restore
// entry (the source VM's disks, or an entry whose disk did not open) never is, so a failed
// restore cannot remove a disk it did not make.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "VMInfoStructs.h"

class CRestoreDiskLedger {
public:
    // disk: the record as the management service returned it from the creation. It is kept
    // whole, because the record the agent holds may still carry another disk's identifiers.
    void Add(const VMInfoStructs::SDisk& disk) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_vecDisks.push_back(disk);
    }

    // False when no disk of that name is listed. Names are the service's disk keys and are
    // compared exactly, so that a near-miss never counts as ours.
    bool Find(const std::string& name, VMInfoStructs::SDisk& out) const {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const VMInfoStructs::SDisk& disk : m_vecDisks) {
            if (disk.strName != name) continue;
            out = disk;
            return true;
        }
        return false;
    }

    // The disk was deleted, or now belongs to a VM.
    void Remove(const std::string& name) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_vecDisks.begin(); it != m_vecDisks.end(); ++it) {
            if (it->strName != name) continue;
            m_vecDisks.erase(it);
            return;
        }
    }

    size_t Size() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_vecDisks.size();
    }

private:
    mutable std::mutex m_lock;  // two restores of one object may run on two job threads
    std::vector<VMInfoStructs::SDisk> m_vecDisks;
};
