#include "InstanceLock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    RemoveUnreadableLeftover();
    lock_ = std::make_unique<QLockFile>(path_);
    // Only a dead owner makes a lock stale: a copy that has run for hours
    // still holds its lock.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        return true;
    lock_.reset();
    return false;
}

// A run that died between creating its lock file and writing its process id
// into it leaves a file that names no owner; with no age limit it would
// refuse every later start. A copy starting right now fills its file within
// moments, so only an old unreadable file is taken away.
void InstanceLock::RemoveUnreadableLeftover() const
{
    const QFileInfo info(path_);
    if (!info.exists() || !info.isFile())
        return;
    qint64 pid = 0;
    QString host, app;
    if (QLockFile(path_).getLockInfo(&pid, &host, &app))
        return;
    const qint64 ageMs = info.lastModified().msecsTo(QDateTime::currentDateTime());
    if (ageMs > kUnreadableLockAgeMs || ageMs < -kUnreadableLockAgeMs)
        QFile::remove(path_);
}

void InstanceLock::Release()
{
    if (lock_)
        lock_->unlock();
    lock_.reset();
}

bool InstanceLock::Held() const { return lock_ && lock_->isLocked(); }
