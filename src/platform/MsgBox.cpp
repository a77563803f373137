#include "MsgBox.h"

#include "Cancellable.h"
#include "ModalForm.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

namespace {
MsgResponder g_responder;
std::vector<MsgBoxCall> g_log;
QString g_appTitle;

int toResult(int qtButton)
{
    switch (qtButton) {
    case QMessageBox::Ok: return mrOk;
    case QMessageBox::Yes: return mrYes;
    case QMessageBox::No: return mrNo;
    case QMessageBox::Abort: return mrAbort;
    case QMessageBox::Retry: return mrRetry;
    default: return mrCancel;
    }
}
} // namespace

QString MsgBoxTitle(MsgKind kind)
{
    switch (kind) {
    case MsgKind::Error: return QStringLiteral("エラー");
    case MsgKind::Warning: return QStringLiteral("警告");
    case MsgKind::Information: return QStringLiteral("情報");
    case MsgKind::Confirmation: return QStringLiteral("確認");
    case MsgKind::Plain: break;
    }
    return ApplicationTitle();
}

void SetApplicationTitle(const QString &title) { g_appTitle = title; }
QString ApplicationTitle() { return g_appTitle; }

void SetMsgResponder(MsgResponder responder) { g_responder = std::move(responder); }
const std::vector<MsgBoxCall> &MsgBoxLog() { return g_log; }
void ClearMsgBoxLog() { g_log.clear(); }

int ShowMessageBox(MsgKind kind, const QString &text, MsgButtons buttons, QWidget *parent)
{
    MsgBoxCall call{kind, MsgBoxTitle(kind), text, buttons, mrNone};
    int result = mrCancel;

    if (g_responder) {
        ScopedCancellable open(nullptr);
        MsgResponder responder = g_responder;  // the responder may replace itself
        result = responder(call);
        if (open.cancelled())
            result = mrCancel;
    } else {
        // Parented, so transient for its window: the active window is none on a
        // compositor that gave no window the focus (no input device, for one).
        QMessageBox box(parent ? parent->window() : OwnerWindow());
        box.setWindowTitle(call.title);
        box.setText(text);
        switch (kind) {
        case MsgKind::Error: box.setIcon(QMessageBox::Critical); break;
        case MsgKind::Warning: box.setIcon(QMessageBox::Warning); break;
        case MsgKind::Information: box.setIcon(QMessageBox::Information); break;
        case MsgKind::Confirmation: box.setIcon(QMessageBox::Question); break;
        case MsgKind::Plain: box.setIcon(QMessageBox::NoIcon); break;
        }
        switch (buttons) {
        case MsgButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
        case MsgButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
        case MsgButtons::AbortRetry:
            box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry);
            box.setDefaultButton(QMessageBox::Abort);
            break;
        }
        QPointer<QMessageBox> guard(&box);
        ScopedCancellable open([guard] {
            if (guard)
                guard->done(QMessageBox::Cancel);
        });
        int r = box.exec();
        result = open.cancelled() ? mrCancel : toResult(r);
    }
    call.result = result;
    g_log.push_back(call);
    return result;
}
