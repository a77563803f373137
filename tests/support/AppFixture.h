// The whole application over a fresh virtual bus, for scenario tests:
// QSettings and the runtime directory in a temporary folder, scripted
// message boxes and file dialogs, a recording shell opener, and the forms
// created as the program creates them. Everything is torn down after each test.
#pragma once

#include "AppForms.h"
#include "FileDialogs.h"
#include "MsgBox.h"
#include "TestGuard.h"
#include "VirtualBus.h"

#include <QString>
#include <QUrl>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QTemporaryDir;

namespace tvqtest {

// One QApplication for the test process (offscreen unless told otherwise).
void EnsureApplication();
// Lets every posted message and timer that is due run.
void ProcessEvents(int times = 3);
// Puts every process-wide record of the program back to its start value.
void ResetGlobalState();

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the windows through CreateApplicationForms (call it after
    // putting units on the bus). Returns its result (StartupResult is 0).
    bool CreateForms();
    // Options for CreateForms; notices and the message port are off unless a test wants them.
    AppFormsOptions FormOptions{false, false};

    VirtualBus &Bus() { return *bus_; }
    // Context for the case's queued steps (QTimer::singleShot(0, Scope(), ...)):
    // they are dropped when the case ends, however it ends.
    QObject *Scope() const { return guard_.Scope(); }
    // Folder of QSettings, the runtime directory and the test's own files.
    QString TempDir() const;

    // Message boxes. Each box takes the next scripted answer; without one it
    // gets OK, No, or Abort (so that no retry loop runs forever).
    using BoxAnswer = std::function<int(const MsgBoxCall &)>;
    void AnswerNextBox(int result);
    void AnswerNextBox(BoxAnswer answer);
    const std::vector<MsgBoxCall> &Boxes() const { return MsgBoxLog(); }
    // Texts of the boxes so far, in order.
    std::vector<QString> BoxTexts() const;
    void ClearBoxes() { ClearMsgBoxLog(); }

    // File dialogs: each takes the next scripted name; "" cancels. Without
    // one the dialog is cancelled.
    void AnswerNextFileDialog(const QString &name);
    void AnswerNextFileDialog(std::function<QString(const FileDialogCall &)> answer);

    // The shell's "open": records the URLs, answers shellOpenResult.
    std::vector<QUrl> shellOpened;
    bool shellOpenResult = true;

private:
    TestGuard guard_;
    std::unique_ptr<QTemporaryDir> temp_;
    std::unique_ptr<VirtualBus> bus_;
    std::deque<BoxAnswer> boxScript_;
    std::deque<std::function<QString(const FileDialogCall &)>> fileScript_;
    QString savedCwd_;
};

}  // namespace tvqtest
