#include "app/instance_lock.h"

#include <QDir>
#include <QStandardPaths>

InstanceLock::InstanceLock(const QString& fileName) : file_(fileName)
{
    // The lock is held for the whole session, so age never makes it stale; only a dead owner does.
    file_.setStaleLockTime(0);
}

InstanceLock::Outcome InstanceLock::TryAcquire()
{
    if (file_.tryLock(0))
        return Outcome::Acquired;
    return file_.error() == QLockFile::LockFailedError ? Outcome::HeldElsewhere : Outcome::Unavailable;
}

void InstanceLock::Release()
{
    file_.unlock();
}

QString DefaultInstanceLockFile()
{
    QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty())
        directory = QDir::tempPath();
    return QDir(directory).filePath(QStringLiteral("RUVIREROVIR1_0.lock"));
}
