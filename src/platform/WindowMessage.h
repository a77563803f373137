// Posted window messages: one event type carrying the message number and
// its two parameters. Always posted, never sent.
#pragma once

#include <QEvent>
#include <cstdint>

class QObject;

enum : int {
    WM_DEVICECHANGE = 0x0219,
    WM_SLOT_CHANGED = 0x8010,
    WM_CARD_REMOVED = 0x8011,
    WM_CARD_INSERTED = 0x8012,
};

enum : uintptr_t {
    DBT_DEVICEARRIVAL = 0x8000,
    DBT_DEVICEREMOVECOMPLETE = 0x8004,
};

class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(int msg, uintptr_t wParam, intptr_t lParam)
        : QEvent(Type()), msg(msg), wParam(wParam), lParam(lParam) {}
    static QEvent::Type Type();

    const int msg;
    const uintptr_t wParam;
    const intptr_t lParam;
};

// Queues the message for target; it is handled by the next pass of the
// message pump (QCoreApplication::processEvents or the modal loops).
void PostWindowMessage(QObject *target, int msg, uintptr_t wParam, intptr_t lParam);
