// The card access dialog over a fresh virtual bus: the unit is scanned
// through the device layer, the dialogs are created as the program creates
// them, QSettings goes to a temporary folder and the message boxes and file
// dialogs are answered by scripts.
#pragma once

#include "CardAcc.h"
#include "FileDialogs.h"
#include "Forms.h"
#include "InputLba.h"
#include "MsgBox.h"
#include "TestGuard.h"
#include "VirtualBus.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class QToolButton;
class TShape;

// Readable failures.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace tvqtest {

// The bytes a test writes: byte i of the pattern seeded with seed.
std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed);
// Equal byte strings, or the sizes and the first differing offset.
// Clicks a radio button on its indicator (the text does not span the button).
void ClickRadio(QWidget *radio);
::testing::AssertionResult SameBytes(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected);

class CardAccTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Unit "u" of the model with blank cards of the given sizes in slots 1, 2, ...
    // (0 = empty slot), then scanned.
    void MakeUnit(const std::vector<uint64_t> &cardBytes, vbus::Model model = vbus::Model::Tvq210,
                  uint32_t flags = 0x0001);
    // Scans the bus and reads drive parameters and slot status, as the main window does.
    void Scan();
    // Fills a card's image with a pattern; returns the bytes written.
    std::vector<uint8_t> FillCard(int slot, uint32_t seed);
    std::vector<uint8_t> CardBytes(int slot) const;
    std::string CardPath(int slot) const;

    // A file of the scratch folder; path only, or written with the bytes.
    QString ScratchPath(const std::string &name) const;
    QString WriteScratch(const std::string &name, const std::vector<uint8_t> &bytes) const;
    // Once the progress bar takes its first step, the file at path is removed,
    // and with pipe a FIFO takes its name. Disconnect the result afterwards.
    QMetaObject::Connection TakeAwayAtFirstStep(const QString &path, bool pipe);

    // Opens the dialog on slot number slot (0 = VD) and runs steps inside it;
    // the dialog is cancelled afterwards if it is still open. Returns its modal result.
    int RunDialog(uint32_t slot, const std::function<void()> &steps);

    // The parameters the next showing of the parameter dialog gets: range
    // mode when count is non-zero, whole-card mode otherwise; then OK.
    void NextParams(uint32_t start, uint32_t count, const QString &file);
    // Runs steps inside the next showing of the parameter dialog.
    void InParamDialog(const std::function<void(TInputLbaDlg *)> &steps);

    // Runs one operation with the parameters inside RunDialog's steps.
    void Read(uint32_t start, uint32_t count, const QString &file);
    void Write(uint32_t start, uint32_t count, const QString &file);
    void Compare(uint32_t start, uint32_t count, const QString &file);

    // Message box script: the answer for a box (default: Yes / Retry-less Abort / OK).
    std::function<int(const MsgBoxCall &)> answer;
    // Boxes shown, their texts only.
    std::vector<QString> BoxTexts() const;
    int CountBoxes(const QString &text) const;

    // File dialog picks, in order; an empty name cancels. Exhausted: cancel.
    std::deque<QString> filePicks;

    // Progress bar values seen after each block (read from the message pump).
    std::vector<int> progressSeen;

    // Context for queued steps; see TestGuard.
    QObject *Scope() const { return guard.Scope(); }
    TestGuard guard;

    std::unique_ptr<VirtualBus> bus;
    std::unique_ptr<QTemporaryDir> settingsDir;
    QToolButton *buttons[11] = {};
    TShape *lamps[11] = {};
    QWidget *slotHost = nullptr;
    std::unique_ptr<uint8_t[]> transferBuffer;
};

}  // namespace tvqtest
