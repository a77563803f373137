#include "MessagePort.h"

#include "InstanceLock.h"
#include "WindowMessage.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtEndian>

namespace {
constexpr int kMessageBytes = 12;
constexpr qint64 kMaxPending = 64 * kMessageBytes;  // a sender that floods is cut off

bool AcceptedFromOutside(uint32_t msg) { return msg == WM_SLOT_CHANGED; }
} // namespace

QString MessagePort::DefaultPath()
{
    return QDir(RuntimeDir()).filePath(QStringLiteral("TvqcrdApp.msg"));
}

MessagePort::MessagePort(QObject *target, QObject *parent)
    : QObject(parent), target_(target), server_(new QLocalServer(this))
{
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &MessagePort::OnNewConnection);
}

MessagePort::~MessagePort() { server_->close(); }

bool MessagePort::Listen(const QString &path)
{
    const QString where = path.isEmpty() ? DefaultPath() : path;
    QLocalServer::removeServer(where);
    return server_->listen(where);
}

QString MessagePort::Path() const { return server_->fullServerName(); }

void MessagePort::OnNewConnection()
{
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->bytesAvailable() >= kMessageBytes) {
                uchar raw[kMessageBytes];
                if (socket->read(reinterpret_cast<char *>(raw), kMessageBytes) != kMessageBytes)
                    break;
                const uint32_t msg = qFromLittleEndian<uint32_t>(raw);
                const uint32_t w = qFromLittleEndian<uint32_t>(raw + 4);
                const uint32_t l = qFromLittleEndian<uint32_t>(raw + 8);
                if (AcceptedFromOutside(msg))
                    PostWindowMessage(target_, static_cast<int>(msg), w, static_cast<intptr_t>(l));
            }
            if (socket->bytesAvailable() > kMaxPending)
                socket->abort();
        });
    }
}

bool SendPortMessage(int msg, uint32_t wParam, uint32_t lParam, const QString &path)
{
    QLocalSocket socket;
    socket.connectToServer(path.isEmpty() ? MessagePort::DefaultPath() : path);
    if (!socket.waitForConnected(1000))
        return false;
    uchar raw[kMessageBytes];
    qToLittleEndian<uint32_t>(static_cast<uint32_t>(msg), raw);
    qToLittleEndian<uint32_t>(wParam, raw + 4);
    qToLittleEndian<uint32_t>(lParam, raw + 8);
    const bool ok = socket.write(reinterpret_cast<const char *>(raw), kMessageBytes) == kMessageBytes &&
                    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
    return ok;
}
