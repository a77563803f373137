#include "WindowMessage.h"

#include <QCoreApplication>

QEvent::Type WindowMessageEvent::Type()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void PostWindowMessage(QObject *target, int msg, uintptr_t wParam, intptr_t lParam)
{
    if (target)
        QCoreApplication::postEvent(target, new WindowMessageEvent(msg, wParam, lParam));
}
