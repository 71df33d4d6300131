#pragma once

#include <QLockFile>
#include <QString>

// The single-instance lock: a lock file that only one process can hold. Taking it is atomic,
// so two copies started at the same instant cannot both win, and a copy that dies without
// releasing it leaves a lock that the next start recognises as stale and removes.
class InstanceLock {
public:
    enum class Outcome {
        Acquired,
        HeldElsewhere,  // another running copy holds it
        Unavailable,    // the lock file cannot be made (no runtime directory, no permission)
    };

    explicit InstanceLock(const QString& fileName);
    Outcome TryAcquire();
    void Release();

private:
    QLockFile file_;
};

// <the user's runtime directory>/RUVIREROVIR1_0.lock
QString DefaultInstanceLockFile();
