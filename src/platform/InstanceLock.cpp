#include "InstanceLock.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

namespace {
QString g_runtimeOverride;
}

QString RuntimeDir()
{
    if (!g_runtimeOverride.isEmpty())
        return g_runtimeOverride;
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

void SetRuntimeDirOverride(const QString &dir) { g_runtimeOverride = dir; }

InstanceLock::InstanceLock(const QString &name)
    : path_(QDir(RuntimeDir()).filePath(name + QStringLiteral(".lock")))
{
}

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::TryAcquire()
{
    if (Held())
        return true;
    QDir().mkpath(QFileInfo(path_).absolutePath());
    lock_ = std::make_unique<QLockFile>(path_);
    // Only a dead owner makes a lock stale: a copy that has run for hours
    // still holds its lock.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        return true;
    lock_.reset();
    return false;
}

void InstanceLock::Release()
{
    if (lock_)
        lock_->unlock();
    lock_.reset();
}

bool InstanceLock::Held() const { return lock_ && lock_->isLocked(); }
