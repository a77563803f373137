// Base of the program's dialogs. A modal result set while the form is busy
// in one of its own handlers closes it only once control is back in its own
// modal loop, so a running transfer finishes its block before the form goes.
#pragma once

#include "ModalResult.h"

#include <QDialog>
#include <initializer_list>
#include <vector>

class QEventLoop;

class ModalForm : public QDialog {
    Q_OBJECT
public:
    explicit ModalForm(QWidget *parent = nullptr);
    ~ModalForm() override;

    // Shows the form modally; starts with the modal result reset to 0 and
    // returns the result that ended it (mrOk, mrCancel, ...).
    int ShowModal();

    void SetModalResult(int result);
    int ModalResult() const { return modalResult_; }
    bool InModalLoop() const { return loop_ != nullptr; }

    // accept(), reject() and the close box all end up here.
    void done(int r) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    int modalResult_ = mrNone;
    QEventLoop *loop_ = nullptr;
};

// The application's forms (ModalForm and the main window) in creation order.
const std::vector<QWidget *> &FormList();
void RegisterForm(QWidget *form);
void UnregisterForm(QWidget *form);

// The window a dialog or box opened now belongs to, its transient parent:
// the front-most form in its modal loop, else the main window while it is on
// screen, else none. `except` is never the answer (a form asking for its own).
QWidget *OwnerWindow(const QWidget *except = nullptr);

// Gives every enabled form except the main window and the spared ones the
// modal result Cancel, and answers every open message box and file dialog
// as cancelled. The running modal loops then end from the front to the back.
void CloseModalWindows(std::initializer_list<const QWidget *> spared = {});
