#include "ModalForm.h"

#include "Cancellable.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QMainWindow>
#include <QPointer>
#include <QWindow>
#include <algorithm>

namespace {
std::vector<QWidget *> &forms()
{
    static std::vector<QWidget *> list;
    return list;
}

// Forms in their modal loops, the front-most last.
std::vector<QPointer<ModalForm>> &modalStack()
{
    static std::vector<QPointer<ModalForm>> stack;
    return stack;
}
} // namespace

QWidget *OwnerWindow(const QWidget *except)
{
    const auto &stack = modalStack();
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        ModalForm *f = *it;
        if (f && f != except && f->isVisible())
            return f;
    }
    for (QWidget *w : forms()) {
        if (w != except && qobject_cast<QMainWindow *>(w) && w->isVisible())
            return w;
    }
    return nullptr;
}

const std::vector<QWidget *> &FormList() { return forms(); }

void RegisterForm(QWidget *form)
{
    auto &list = forms();
    if (std::find(list.begin(), list.end(), form) == list.end())
        list.push_back(form);
}

void UnregisterForm(QWidget *form)
{
    auto &list = forms();
    list.erase(std::remove(list.begin(), list.end(), form), list.end());
}

ModalForm::ModalForm(QWidget *parent) : QDialog(parent)
{
    RegisterForm(this);
}

ModalForm::~ModalForm()
{
    UnregisterForm(this);
}

int ModalForm::ShowModal()
{
    modalResult_ = mrNone;
    setWindowModality(Qt::ApplicationModal);
    // Transient for the window it was opened from, so that no window manager
    // or compositor lets that window be raised over it (Wayland knows no
    // other tie between the two). Set before the window is mapped.
    if (!windowHandle())
        create();
    if (QWindow *own = windowHandle()) {
        QWidget *owner = OwnerWindow(this);
        own->setTransientParent(owner ? owner->window()->windowHandle() : nullptr);
    }
    modalStack().push_back(this);
    show();
    raise();
    activateWindow();
    QEventLoop loop;
    QEventLoop *outer = loop_;
    loop_ = &loop;
    if (modalResult_ == mrNone)
        loop.exec(QEventLoop::DialogExec);
    loop_ = outer;
    auto &stack = modalStack();
    stack.erase(std::remove(stack.begin(), stack.end(), QPointer<ModalForm>(this)), stack.end());
    hide();
    return modalResult_;
}

void ModalForm::SetModalResult(int result)
{
    modalResult_ = result;
    // exit() takes effect when control returns to this loop, not earlier.
    if (result != mrNone && loop_)
        loop_->exit(result);
}

void ModalForm::done(int r)
{
    if (r == QDialog::Rejected)
        r = mrCancel;
    SetModalResult(r);
}

void ModalForm::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (loop_)
        SetModalResult(mrCancel);
    else
        hide();
}

void CloseModalWindows(std::initializer_list<const QWidget *> spared)
{
    ScopedCancellable::CancelAll();
    const std::vector<QWidget *> snapshot = forms();
    for (QWidget *w : snapshot) {
        if (std::find(forms().begin(), forms().end(), w) == forms().end())
            continue;
        if (!w->isEnabled() || qobject_cast<QMainWindow *>(w))
            continue;
        if (std::find(spared.begin(), spared.end(), w) != spared.end())
            continue;
        if (auto *f = qobject_cast<ModalForm *>(w))
            f->SetModalResult(mrCancel);
    }
}
