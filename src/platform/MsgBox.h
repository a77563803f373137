// The message-box service: four kinds with their titles and icons, and a
// plain box carrying the application title. Tests install a responder.
#pragma once

#include "ModalResult.h"

#include <QString>
#include <functional>
#include <vector>

class QWidget;

enum class MsgKind { Error, Warning, Information, Confirmation, Plain };
enum class MsgButtons { Ok, YesNo, AbortRetry };

struct MsgBoxCall {
    MsgKind kind;
    QString title;
    QString text;
    MsgButtons buttons;
    int result = mrNone;  // what the box returned
};

// Shows a modal box and returns mrOk, mrYes, mrNo, mrAbort, mrRetry, or
// mrCancel when the box was closed by closing the modal windows.
int ShowMessageBox(MsgKind kind, const QString &text, MsgButtons buttons = MsgButtons::Ok,
                   QWidget *parent = nullptr);

// Title of a box of that kind ("エラー", ..., or the application title).
QString MsgBoxTitle(MsgKind kind);

void SetApplicationTitle(const QString &title);
QString ApplicationTitle();

// A responder answers instead of a real box: it gets the call (kind, title,
// text, buttons) and returns the answer. It may run an action meanwhile, for
// example a slot event; if the modal windows are closed during it, the box
// answers mrCancel whatever the responder returns. Pass {} to use real boxes.
using MsgResponder = std::function<int(const MsgBoxCall &)>;
void SetMsgResponder(MsgResponder responder);

// Every box shown since the last ClearMsgBoxLog, with its result.
const std::vector<MsgBoxCall> &MsgBoxLog();
void ClearMsgBoxLog();
