// Window messages from other processes. The program listens on a local
// socket in the runtime directory; every 12 bytes received (message number,
// wParam, lParam, each 32-bit little-endian) are posted to the target as a
// WindowMessageEvent. Only the messages the window accepts from outside
// (WM_SLOT_CHANGED) are taken; anything else is dropped.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>

class QLocalServer;

class MessagePort : public QObject {
    Q_OBJECT
public:
    explicit MessagePort(QObject *target, QObject *parent = nullptr);
    ~MessagePort() override;

    // Starts listening at path (empty = DefaultPath()). Only one copy of the
    // program runs, so a socket file left by an earlier run is replaced.
    bool Listen(const QString &path = QString());
    QString Path() const;

    static QString DefaultPath();

private:
    void OnNewConnection();

    QPointer<QObject> target_;
    QLocalServer *server_;
};

// Sends one message to a running program; true when it was written.
bool SendPortMessage(int msg, uint32_t wParam, uint32_t lParam, const QString &path = QString());
