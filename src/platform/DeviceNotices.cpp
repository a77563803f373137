#include "DeviceNotices.h"

#include "WindowMessage.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTextStream>

#include <libudev.h>
#include <pwd.h>
#include <unistd.h>

QString VirtualBusDir()
{
    const QString env = qEnvironmentVariable("QEVCRDIO_BUS");
    if (!env.isEmpty())
        return env;
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (xdg.startsWith(QLatin1Char('/')))
        return xdg + QStringLiteral("/qevcrdio/bus");
    // As the library does: with HOME unset, the home the password database gives, never "/".
    QString home = qEnvironmentVariable("HOME");
    if (!home.startsWith(QLatin1Char('/'))) {
        const struct passwd *pw = getpwuid(getuid());
        home = pw && pw->pw_dir ? QString::fromLocal8Bit(pw->pw_dir) : QDir::homePath();
    }
    return home + QStringLiteral("/.local/share/qevcrdio/bus");
}

namespace {
// The "connected" key of a device description; a description that cannot
// be read counts as plugged in, since the device is there.
bool DescribedConnected(const QString &unitFile)
{
    QFile f(unitFile);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return true;
    QTextStream in(&f);
    bool inUnit = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inUnit = line == QLatin1String("[unit]");
            continue;
        }
        if (!inUnit)
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0 || line.left(eq).trimmed() != QLatin1String("connected"))
            continue;
        const QString value = line.mid(eq + 1).trimmed();
        return value != QLatin1String("0") && !value.startsWith(QLatin1String("false"), Qt::CaseInsensitive);
    }
    return true;
}
} // namespace

DeviceNotices::DeviceNotices(QObject *target, const QString &busDir, QObject *parent)
    : QObject(parent), target_(target), busDir_(busDir.isEmpty() ? VirtualBusDir() : busDir),
      watcher_(new QFileSystemWatcher(this))
{
    // A change is several renames; look once they have settled.
    settle_.setSingleShot(true);
    settle_.setInterval(50);
    connect(&settle_, &QTimer::timeout, this, &DeviceNotices::Rescan);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { settle_.start(); });
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, [this] { settle_.start(); });
    devices_ = Snapshot();
    Rearm();

    // The LUNs of a unit arrive one by one within a few hundred milliseconds.
    hwSettle_.setSingleShot(true);
    hwSettle_.setInterval(300);
    connect(&hwSettle_, &QTimer::timeout, this, [this] {
        const bool removed = hwRemoved_, arrived = hwArrived_;
        hwRemoved_ = hwArrived_ = false;
        if (removed)
            PostWindowMessage(target_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
        if (arrived)
            PostWindowMessage(target_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    });
    udev_ = udev_new();
    if (udev_)
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "scsi_generic", nullptr) < 0 ||
                     udev_monitor_enable_receiving(monitor_) < 0)) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
    if (monitor_) {
        hwNotifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
        connect(hwNotifier_, &QSocketNotifier::activated, this, [this] {
            while (udev_device *d = udev_monitor_receive_device(monitor_)) {
                const char *action = udev_device_get_action(d);
                HardwareEvent(QString::fromLatin1(action ? action : ""));
                udev_device_unref(d);
            }
        });
    }
}

DeviceNotices::~DeviceNotices()
{
    delete hwNotifier_;
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

void DeviceNotices::HardwareEvent(const QString &action)
{
    if (action == QLatin1String("add"))
        hwArrived_ = true;
    else if (action == QLatin1String("remove"))
        hwRemoved_ = true;
    else
        return;
    hwSettle_.start();
}

QMap<QString, bool> DeviceNotices::Snapshot() const
{
    QMap<QString, bool> now;
    const QDir bus(busDir_);
    const QStringList names = bus.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        // unit.toml; unit.ini on a bus an earlier version wrote and nothing has changed since.
        for (const QString &file : {QStringLiteral("/unit.toml"), QStringLiteral("/unit.ini")}) {
            const QString unitFile = bus.filePath(name + file);
            const QFileInfo info(unitFile);
            if (!info.exists())
                continue;
            // Only a regular file is read: a FIFO there must not hold the program.
            now.insert(name, info.isFile() && !info.isSymLink() ? DescribedConnected(unitFile) : true);
            break;
        }
    }
    return now;
}

void DeviceNotices::Rearm()
{
    QStringList paths;
    if (QFileInfo(busDir_).isDir()) {
        paths << busDir_;
        const QDir bus(busDir_);
        for (const QString &name : bus.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            paths << bus.filePath(name);
    } else {
        // Not made yet: watch the nearest folder above it that exists.
        QDir up(busDir_);
        while (!up.exists() && up.cdUp()) {
        }
        if (up.exists())
            paths << up.absolutePath();
    }
    // Keep the watches that still apply, so no change slips between.
    QStringList gone;
    for (const QString &p : watcher_->directories())
        if (!paths.contains(p))
            gone << p;
    if (!gone.isEmpty())
        watcher_->removePaths(gone);
    QStringList fresh;
    const QStringList have = watcher_->directories();
    for (const QString &p : paths)
        if (!have.contains(p))
            fresh << p;
    if (!fresh.isEmpty())
        watcher_->addPaths(fresh);
}

void DeviceNotices::Rescan()
{
    const QMap<QString, bool> now = Snapshot();
    bool arrived = false;
    bool removed = false;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const bool was = devices_.value(it.key(), false);
        if (it.value() && !was)
            arrived = true;
        if (!it.value() && was)
            removed = true;
    }
    for (auto it = devices_.cbegin(); it != devices_.cend(); ++it)
        if (it.value() && !now.contains(it.key()))
            removed = true;
    devices_ = now;
    Rearm();
    if (removed)
        PostWindowMessage(target_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
    if (arrived)
        PostWindowMessage(target_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
}
