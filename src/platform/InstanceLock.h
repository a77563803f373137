// The single-instance lock "TvqcrdApp": a lock file in the user's runtime
// directory. A lock left behind by a run that crashed is taken over, also one
// that crashed before it could write its process id into the file.
#pragma once

#include <QString>
#include <memory>

class QLockFile;

// The user's runtime directory (XDG_RUNTIME_DIR, else Qt's fallback), or
// the directory set by SetRuntimeDirOverride. Lock file and message port live here.
QString RuntimeDir();
// Tests point the runtime directory elsewhere; empty restores the default.
void SetRuntimeDirOverride(const QString &dir);

class InstanceLock {
public:
    explicit InstanceLock(const QString &name = QStringLiteral("TvqcrdApp"));
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // True when this process now holds the lock; false when another live
    // process holds it (or the directory cannot be used). Never waits.
    bool TryAcquire();
    void Release();
    bool Held() const;
    QString Path() const { return path_; }

private:
    static constexpr qint64 kUnreadableLockAgeMs = 10000;
    void RemoveUnreadableLeftover() const;
    QString path_;
    std::unique_ptr<QLockFile> lock_;
};
