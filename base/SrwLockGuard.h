#pragma once

#include <windows.h>

namespace korvel {

// Holds a slim reader/writer lock exclusively for the guard's lifetime.
class SrwExclusiveLock {
public:
    explicit SrwExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    SrwExclusiveLock(const SrwExclusiveLock&) = delete;
    SrwExclusiveLock& operator=(const SrwExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

// Holds a slim reader/writer lock shared for the guard's lifetime. Not re-entrant: a thread that
// holds it must not take it again while an exclusive owner may be waiting.
class SrwSharedLock {
public:
    explicit SrwSharedLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SrwSharedLock() { ReleaseSRWLockShared(&lock_); }
    SrwSharedLock(const SrwSharedLock&) = delete;
    SrwSharedLock& operator=(const SrwSharedLock&) = delete;

private:
    SRWLOCK& lock_;
};

} // namespace korvel
