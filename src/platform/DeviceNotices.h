// The system's device-change notices. Watches the virtual bus directory and
// posts WM_DEVICECHANGE to the main window: DBT_DEVICEARRIVAL when a device
// appeared or was plugged in, DBT_DEVICEREMOVECOMPLETE when one vanished or
// was unplugged. Like the system, it tells only that something came or went.
// Real units are watched through a udev monitor of SCSI generic nodes: the
// LUNs of one unit come and go together, so their events are gathered for a
// short while and told as one notice, well within a second.
#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QFileSystemWatcher;
class QSocketNotifier;
struct udev;
struct udev_monitor;

// The bus directory the pass-through library serves (QEVCRDIO_BUS, else
// the per-user data directory).
QString VirtualBusDir();

class DeviceNotices : public QObject {
    Q_OBJECT
public:
    // busDir empty = VirtualBusDir().
    explicit DeviceNotices(QObject *target, const QString &busDir = QString(),
                           QObject *parent = nullptr);
    ~DeviceNotices() override;

    QString BusDir() const { return busDir_; }
    // Compares the bus with the last look and posts what changed. Runs by
    // itself shortly after the watcher fires; tests may call it directly.
    void Rescan();

    // One SCSI generic node added ("add") or removed ("remove"), as the udev
    // monitor reports it; other actions are no device change.
    void HardwareEvent(const QString &action);
    // The udev monitor runs (false where udev cannot be reached).
    bool WatchingHardware() const { return monitor_ != nullptr; }

    // Devices last seen: name -> plugged in.
    const QMap<QString, bool> &Devices() const { return devices_; }

private:
    QMap<QString, bool> Snapshot() const;
    void Rearm();

    QPointer<QObject> target_;
    QString busDir_;
    QFileSystemWatcher *watcher_;
    QTimer settle_;
    QMap<QString, bool> devices_;
    struct udev *udev_ = nullptr;
    struct udev_monitor *monitor_ = nullptr;
    QSocketNotifier *hwNotifier_ = nullptr;
    QTimer hwSettle_;
    bool hwArrived_ = false;
    bool hwRemoved_ = false;
};
