// main_window_send_message MSG WPARAM LPARAM [PORT]: one message to a running program.
#include "MessagePort.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4)
        return 2;
    bool ok1 = false, ok2 = false, ok3 = false;
    const uint msg = args[1].toUInt(&ok1, 0);
    const uint w = args[2].toUInt(&ok2, 0);
    const uint l = args[3].toUInt(&ok3, 0);
    if (!ok1 || !ok2 || !ok3)
        return 2;
    return SendPortMessage(int(msg), w, l, args.size() > 4 ? args[4] : QString()) ? 0 : 1;
}
