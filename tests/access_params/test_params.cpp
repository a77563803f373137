// The access parameters dialog shown modally, driven with Qt Test's event
// helpers: the order of the OK checks, the exit checks, the key filter and
// the file dialogs.
#include "InputLba.h"

#include "Beep.h"
#include "FileDialogs.h"
#include "MsgBox.h"
#include "UnitState.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <deque>
#include <cstring>
#include <functional>

// Readable failures.
void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

const QString kRange = QStringLiteral("有効なセクタ範囲を超えています。");
const QString kHex = QStringLiteral("16進数（0～F）で有効な値を入力して下さい。");
const QString kMaxCount = QStringLiteral("有効なセクタ数は「00001000」までです");
const QString kNoCount = QStringLiteral("セクタ数を指定して下さい。");
const QString kNoFile = QStringLiteral("ファイルを指定して下さい。");

class ParamsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearMsgBoxLog();
        ClearFileDialogLog();
        SetMsgResponder([this](const MsgBoxCall &c) {
            focusAtBox = QApplication::focusWidget();
            return answer ? answer(c) : int(c.buttons == MsgButtons::YesNo ? mrYes : mrOk);
        });
        SetFileDialogResponder([this](const FileDialogCall &) {
            if (picks.empty())
                return QString();
            QString p = picks.front();
            picks.pop_front();
            return p;
        });
        for (auto &p : AccessParams)
            p = TCardAcc_ParamBlock{};
        std::memset(SlotTable, 0, sizeof SlotTable);
        OpenSlotIndex = 1;
        AccessOp = AccessRead;
        dlg = new TInputLbaDlg;
    }
    void TearDown() override
    {
        delete dlg;
        SetMsgResponder({});
        SetFileDialogResponder({});
    }

    void SetCard(uint32_t totalSectors) { SlotTable[1].TotalSectors = totalSectors; }

    // Shows the dialog modally with steps inside; cancels it if they leave it open.
    int Show(const std::function<void()> &steps)
    {
        QTimer::singleShot(0, dlg, [&] {
            // Focus moves only inside the active window.
            QApplication::setActiveWindow(dlg);
            ASSERT_EQ(QApplication::activeWindow(), dlg);
            steps();
            if (dlg->ModalResult() == mrNone)
                dlg->SetModalResult(mrCancel);
        });
        return dlg->ShowModal();
    }
    void RangeMode(const QString &start, const QString &count)
    {
        dlg->edtStartSect->setText(start);
        dlg->edtSectCnt->setText(count);
        QTest::mouseClick(dlg->rbtAccSect, Qt::LeftButton, Qt::NoModifier, QPoint(6, dlg->rbtAccSect->height() / 2));
    }
    void Ok() { QTest::mouseClick(dlg->btnOk, Qt::LeftButton); }
    std::vector<QString> Texts() const
    {
        std::vector<QString> v;
        for (const auto &c : MsgBoxLog())
            v.push_back(c.text);
        return v;
    }
    TCardAcc_ParamBlock &P() { return AccessParams[AccessOp]; }

    TInputLbaDlg *dlg = nullptr;
    std::function<int(const MsgBoxCall &)> answer;
    std::deque<QString> picks;
    QWidget *focusAtBox = nullptr;
};

TEST_F(ParamsTest, WholeCardMode)
{
    SetCard(0x1000);
    P().FilePath = QStringLiteral("a.bin");  // shown in the field when the dialog opens
    int r = Show([&] {
        EXPECT_TRUE(dlg->rbtAccAll->isChecked());
        EXPECT_FALSE(dlg->edtStartSect->isEnabled());
        EXPECT_FALSE(dlg->edtSectCnt->isEnabled());
        dlg->edtStartSect->setText(QStringLiteral("XYZ"));  // does not matter in this mode
        Ok();
    });
    EXPECT_EQ(r, mrOk);
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(P().StartSect, 0u);
    EXPECT_EQ(P().SectCnt, 0x1000u);
    EXPECT_TRUE(P().AccAll);
    EXPECT_EQ(P().FilePath, QStringLiteral("a.bin"));

    // A card of fewer than 0x1000 sectors refuses it.
    SetCard(0xFFF);
    P().FilePath.clear();
    r = Show([&] { Ok(); });
    EXPECT_EQ(r, mrCancel);
    EXPECT_EQ(Texts(), std::vector<QString>{kRange});
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Warning);
    EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("00000000"));
    EXPECT_TRUE(P().FilePath.isEmpty());
}

TEST_F(ParamsTest, CountAndRangeLimits)
{
    P().FilePath = QStringLiteral("f.bin");  // shown in the field when the dialog opens
    struct Case {
        uint32_t total;
        const char *start, *count;
        std::vector<QString> boxes;
    };
    const Case cases[] = {
        {0x2000, "00000000", "00001000", {}},
        {0x2000, "00000000", "00001001", {kMaxCount}},
        {0x1000, "00000000", "00001001", {kRange}},    // the range check comes first
        {0x500, "00000400", "00000100", {}},           // ends exactly at the card's end
        {0x500, "00000401", "00000100", {kRange}},
        {0x500, "000004FF", "00000001", {}},
        {0x500, "FFFFFFFF", "00000001", {kRange}},     // no wrap-around to 0
        {0x500, "00000001", "FFFFFFFF", {kRange}},
        {0x500, "00000000", "00000000", {kNoCount}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.start) + "+" + c.count);
        SetCard(c.total);
        ClearMsgBoxLog();
        // Values OK has not stored.
        P().StartSect = 0x5EED;
        P().SectCnt = 0x5EED;
        // OK by Enter with the caret still in the start field, so that only the
        // checks of OK run: a click on 開始 would first leave the field and run its own check.
        const int r = Show([&] {
            // Range mode first, which puts the caret in the start field, then the texts.
            dlg->edtStartSect->clear();
            dlg->edtSectCnt->clear();
            RangeMode(QString(), QString());
            ASSERT_EQ(QApplication::focusWidget(), dlg->edtStartSect);
            dlg->edtStartSect->setText(QLatin1String(c.start));
            dlg->edtSectCnt->setText(QLatin1String(c.count));
            QTest::keyClick(dlg->edtStartSect, Qt::Key_Return);
        });
        EXPECT_EQ(Texts(), c.boxes);
        EXPECT_EQ(r, c.boxes.empty() ? mrOk : mrCancel);
        // Both values are stored at once, before any check.
        EXPECT_EQ(P().StartSect, QString::fromLatin1(c.start).toUInt(nullptr, 16));
        EXPECT_EQ(P().SectCnt, QString::fromLatin1(c.count).toUInt(nullptr, 16));
        if (!c.boxes.empty() && c.boxes[0] == kRange) {
            EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("00000000"));
        }
        if (c.boxes.empty()) {
            EXPECT_FALSE(P().AccAll);
        }
    }
}

TEST_F(ParamsTest, EnterInAFieldSkipsItsExitCheck)
{
    SetCard(0x500);
    P().FilePath = QStringLiteral("f.bin");  // shown in the field when the dialog opens
    // FFFFFFFF + 1 confirmed with Enter while the caret is in the start field.
    int r = Show([&] {
        RangeMode(QStringLiteral("FFFFFFFF"), QStringLiteral("00000001"));
        dlg->edtStartSect->setFocus();
        QTest::keyClick(dlg->edtStartSect, Qt::Key_Return);
    });
    EXPECT_EQ(r, mrCancel);
    EXPECT_EQ(Texts(), std::vector<QString>{kRange});
    EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("00000000"));

    // An empty field at OK: a conversion error, and nothing after it is stored.
    ClearMsgBoxLog();
    P().SectCnt = 77;
    r = Show([&] {
        RangeMode(QStringLiteral("00000010"), QString());
        dlg->edtSectCnt->setFocus();
        QTest::keyClick(dlg->edtSectCnt, Qt::Key_Return);
    });
    EXPECT_EQ(r, mrCancel);
    ASSERT_EQ(MsgBoxLog().size(), 1u);
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Error);
    EXPECT_EQ(P().StartSect, 0x10u);
    EXPECT_EQ(P().SectCnt, 77u);

    // The same field left empty becomes 00000000; OK then asks for a count.
    ClearMsgBoxLog();
    r = Show([&] {
        RangeMode(QStringLiteral("00000010"), QString());
        dlg->edtSectCnt->setFocus();
        dlg->edtFilePath->setFocus(Qt::TabFocusReason);
        EXPECT_EQ(dlg->edtSectCnt->text(), QStringLiteral("00000000"));
        Ok();
    });
    EXPECT_EQ(Texts(), std::vector<QString>{kNoCount});
    EXPECT_EQ(focusAtBox, dlg->btnOk);

    // No file name.
    ClearMsgBoxLog();
    P().FilePath.clear();
    r = Show([&] {
        RangeMode(QStringLiteral("00000000"), QStringLiteral("00000001"));
        Ok();
    });
    EXPECT_EQ(Texts(), std::vector<QString>{kNoFile});
    EXPECT_TRUE(P().FilePath.isEmpty());
}

TEST_F(ParamsTest, ExitChecks)
{
    SetCard(0x500);
    P().StartSect = 0x33;
    Show([&] {
        RangeMode(QStringLiteral("00000000"), QStringLiteral("00001000"));
        // A pasted text that is not hexadecimal.
        dlg->edtStartSect->setFocus();
        dlg->edtStartSect->setText(QStringLiteral("12G4"));
        dlg->edtSectCnt->setFocus(Qt::TabFocusReason);
        EXPECT_EQ(dlg->edtStartSect->text(), QString());
        EXPECT_EQ(P().StartSect, 0x33u);  // kept
        EXPECT_EQ(QApplication::focusWidget(), dlg->edtStartSect);

        // Beyond the card: the refused value is stored, the field reset.
        dlg->edtStartSect->setText(QStringLiteral("00000500"));
        dlg->edtSectCnt->setFocus(Qt::TabFocusReason);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("00000000"));
        EXPECT_EQ(P().StartSect, 0x500u);

        // The last sector is a valid start.
        dlg->edtStartSect->setText(QStringLiteral("000004FF"));
        dlg->edtSectCnt->setFocus(Qt::TabFocusReason);
        EXPECT_EQ(P().StartSect, 0x4FFu);

        // A count beyond the card keeps its text; a bad one is emptied and gives 0.
        dlg->edtSectCnt->setText(QStringLiteral("00000501"));
        dlg->edtStartSect->setFocus(Qt::TabFocusReason);
        EXPECT_EQ(dlg->edtSectCnt->text(), QStringLiteral("00000501"));
        EXPECT_EQ(P().SectCnt, 0x501u);
        EXPECT_EQ(QApplication::focusWidget(), dlg->edtSectCnt);
        dlg->edtSectCnt->setText(QStringLiteral("-1"));
        dlg->edtStartSect->setFocus(Qt::TabFocusReason);
        EXPECT_EQ(dlg->edtSectCnt->text(), QString());
        EXPECT_EQ(P().SectCnt, 0u);
    });
    EXPECT_EQ(Texts(), (std::vector<QString>{kHex, kRange, kRange, kHex}));

    // The next showing: the start last stored, even the refused one; the count reset.
    P().StartSect = 0x500;
    Show([&] {
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("00000500"));
        EXPECT_EQ(dlg->edtSectCnt->text(), QStringLiteral("00001000"));
        EXPECT_TRUE(dlg->rbtAccSect->isChecked() == !P().AccAll);
    });
}

// Enter goes to the focused push button; elsewhere to the default button 開始.
// The keys go where the keyboard sends them: to the focus widget, reached with Tab.
TEST_F(ParamsTest, EnterPressesTheFocusedButton)
{
    SetCard(0x1000);
    dlg->Prepare(QStringLiteral("書き込み設定"), QStringLiteral("書き込み範囲設定"), QStringLiteral("ソースファイル名"),
                 TInputLbaDlg::ActFileOpen);
    auto tabTo = [&](QWidget *target) {
        for (int i = 0; i < 10 && QApplication::focusWidget() != target; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), target);
    };
    auto enter = [](Qt::Key key = Qt::Key_Return) { QTest::keyClick(QApplication::focusWidget(), key); };

    // Cancel, reached from the file name field with Tab, with either Enter key.
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        SCOPED_TRACE(key);
        P() = TCardAcc_ParamBlock{};
        dlg->edtFilePath->setText(QStringLiteral("src.bin"));
        ClearMsgBoxLog();
        const int r = Show([&] {
            dlg->edtFilePath->setFocus();
            tabTo(dlg->btnCancel);
            enter(key);
            EXPECT_EQ(dlg->ModalResult(), mrCancel);
        });
        EXPECT_EQ(r, mrCancel);
        EXPECT_TRUE(Texts().empty());
        EXPECT_TRUE(P().FilePath.isEmpty());  // OK never ran
        EXPECT_EQ(P().SectCnt, 0u);
    }

    // 参照 opens the file dialog and leaves the dialog open.
    QTemporaryDir dir;
    const QString picked = dir.filePath(QStringLiteral("picked.bin"));
    {
        QFile f(picked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    picks = {picked};
    ClearFileDialogLog();
    int r = Show([&] {
        dlg->edtFilePath->setFocus();
        tabTo(dlg->btnRefFile);
        enter();
        EXPECT_EQ(dlg->ModalResult(), mrNone);
        EXPECT_EQ(dlg->edtFilePath->text(), picked);
        // The focus back on 参照 after the file dialog: Enter opens it again.
        ASSERT_EQ(QApplication::focusWidget(), dlg->btnRefFile);
        enter();
        EXPECT_EQ(dlg->ModalResult(), mrNone);
    });
    EXPECT_EQ(r, mrCancel);
    EXPECT_EQ(FileDialogLog().size(), 2u);
    EXPECT_TRUE(Texts().empty());

    // 開始 itself, and the default for a radio button and the file name field.
    for (int where = 0; where < 3; ++where) {
        SCOPED_TRACE(where);
        P() = TCardAcc_ParamBlock{};
        P().FilePath = picked;  // the field shows it when the dialog opens
        r = Show([&] {
            QWidget *w[] = {dlg->btnOk, dlg->rbtAccAll, dlg->edtFilePath};
            dlg->edtFilePath->setFocus();
            if (where == 0)
                tabTo(dlg->btnOk);
            else
                w[where]->setFocus();
            ASSERT_EQ(QApplication::focusWidget(), w[where]);
            enter();
        });
        EXPECT_EQ(r, mrOk);
        EXPECT_EQ(P().FilePath, picked);
        EXPECT_EQ(P().SectCnt, 0x1000u);
    }
    EXPECT_TRUE(Texts().empty());

    // Enter in a range field is OK too, and OK's checks run.
    r = Show([&] {
        RangeMode(QStringLiteral("00000FFF"), QStringLiteral("00000002"));
        ASSERT_EQ(QApplication::focusWidget(), dlg->edtStartSect);
        enter();
    });
    EXPECT_EQ(r, mrCancel);
    EXPECT_EQ(Texts(), std::vector<QString>{kRange});
    EXPECT_EQ(P().StartSect, 0xFFFu);
    EXPECT_EQ(P().SectCnt, 2u);
}

TEST_F(ParamsTest, ArrowKeyIntoRangeModeFocusesTheStart)
{
    SetCard(0x1000);
    P().AccAll = true;
    Show([&] {
        dlg->activateWindow();
        dlg->rbtAccAll->setFocus();
        QTest::keyClick(dlg->rbtAccAll, Qt::Key_Down);
        QCoreApplication::processEvents();
        EXPECT_TRUE(dlg->rbtAccSect->isChecked());
        EXPECT_TRUE(dlg->edtStartSect->isEnabled());
        EXPECT_EQ(QApplication::focusWidget(), dlg->edtStartSect);
    });
}

TEST_F(ParamsTest, KeyFilter)
{
    SetCard(0x1000);
    Show([&] {
        RangeMode(QString(), QString());
        dlg->edtStartSect->setFocus();
        QTest::keyClicks(dlg->edtStartSect, QStringLiteral("g- a1"));
        QKeyEvent ff(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(12)));
        QApplication::sendEvent(dlg->edtStartSect, &ff);
        QTest::keyClicks(dlg->edtStartSect, QStringLiteral("f:@G"));
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("A1F"));
        QTest::keyClick(dlg->edtStartSect, Qt::Key_Backspace);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("A1"));

        dlg->edtSectCnt->setFocus();
        QTest::keyClicks(dlg->edtSectCnt, QStringLiteral("123456789"));
        EXPECT_EQ(dlg->edtSectCnt->text(), QStringLiteral("12345678"));
    });

    // Ctrl+L types the form feed: it beeps and inserts nothing, whether the
    // platform's event carries the code or only the letter.
    Show([&] {
        RangeMode(QStringLiteral("12"), QString());
        dlg->edtStartSect->setFocus();
        dlg->edtStartSect->setCursorPosition(2);
        const int beeps = BeepCount();
        QKeyEvent ctrlL(QEvent::KeyPress, Qt::Key_L, Qt::ControlModifier, QString(QChar(12)));
        QApplication::sendEvent(dlg->edtStartSect, &ctrlL);
        EXPECT_EQ(BeepCount(), beeps + 1);
        QTest::keyClick(dlg->edtStartSect, Qt::Key_L, Qt::ControlModifier);
        EXPECT_EQ(BeepCount(), beeps + 2);
        QTest::keyClick(dlg->edtStartSect, 'g');
        EXPECT_EQ(BeepCount(), beeps + 3);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("12"));

        // The control keys the filter lets through keep working, without a beep.
        QTest::keyClick(dlg->edtStartSect, Qt::Key_A, Qt::ControlModifier);
        EXPECT_EQ(dlg->edtStartSect->selectedText(), QStringLiteral("12"));
        QTest::keyClick(dlg->edtStartSect, Qt::Key_C, Qt::ControlModifier);
        QTest::keyClick(dlg->edtStartSect, Qt::Key_End);
        QTest::keyClick(dlg->edtStartSect, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("1212"));
        QTest::keyClick(dlg->edtStartSect, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("12"));
        QTest::keyClick(dlg->edtStartSect, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(dlg->edtStartSect, Qt::Key_X, Qt::ControlModifier);
        EXPECT_EQ(dlg->edtStartSect->text(), QString());
        QTest::keyClick(dlg->edtStartSect, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(dlg->edtStartSect, Qt::Key_Backspace);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("1"));
        QTest::keyClick(dlg->edtStartSect, Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), dlg->edtSectCnt);
        EXPECT_EQ(dlg->edtStartSect->text(), QStringLiteral("1"));
        QTest::keyClick(dlg->edtSectCnt, Qt::Key_Escape);
        EXPECT_EQ(dlg->ModalResult(), mrCancel);
        EXPECT_TRUE(Texts().empty());
        EXPECT_EQ(BeepCount(), beeps + 3);
    });

    // Control codes pass, everything else in 0-255 that is no hex digit does not.
    for (uint32_t c = 0; c < 256; ++c) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        EXPECT_EQ(RangeKeyAllowed(c), hex || c <= 11 || (c >= 13 && c <= 31)) << c;
    }
}

TEST_F(ParamsTest, FileDialogs)
{
    QTemporaryDir dir;
    const QString existing = dir.filePath(QStringLiteral("old.bin"));
    {
        QFile f(existing);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    SetCard(0x1000);

    // Read: Save As with the extension, the filter and the overwrite question.
    AccessOp = AccessRead;
    dlg->Prepare(QStringLiteral("読み出し設定"), QStringLiteral("読み出し範囲設定"), QStringLiteral("保存ファイル名"),
                 TInputLbaDlg::ActFileSaveAs);
    EXPECT_EQ(dlg->btnRefFile->text(), QStringLiteral("参照"));
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("読み出し設定"));
    EXPECT_EQ(dlg->gbxLbParams->title(), QStringLiteral("読み出し範囲設定"));
    picks = {dir.filePath(QStringLiteral("new")), existing};
    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::YesNo ? int(mrNo) : int(mrOk); };
    Show([&] {
        QTest::mouseClick(dlg->btnRefFile, Qt::LeftButton);
        EXPECT_EQ(dlg->edtFilePath->text(), dir.filePath(QStringLiteral("new.bin")));
        EXPECT_TRUE(SaveAsAccepted);
        EXPECT_EQ(P().FilePath, dir.filePath(QStringLiteral("new.bin")));
        // No to overwriting: the dialog asks again; cancelled there, nothing changes.
        QTest::mouseClick(dlg->btnRefFile, Qt::LeftButton);
        EXPECT_EQ(dlg->edtFilePath->text(), dir.filePath(QStringLiteral("new.bin")));
    });
    ASSERT_EQ(FileDialogLog().size(), 3u);
    EXPECT_EQ(FileDialogLog()[0].call.kind, FileDialogKind::SaveAs);
    EXPECT_EQ(FileDialogLog()[0].call.defaultExt, QStringLiteral("bin"));
    EXPECT_EQ(FileDialogLog()[0].call.filter, QStringLiteral("All files (*.*)|*.*|Binary files (*.bin)|*.bin"));
    EXPECT_EQ(FileDialogLog()[0].call.filterIndex, 1);
    EXPECT_EQ(FileDialogLog()[1].call.initialName, dir.filePath(QStringLiteral("new.bin")));  // kept between uses
    EXPECT_EQ(FileDialogLog()[2].call.initialName, existing);  // still open on the refused name
    EXPECT_EQ(FileDialogLog()[2].accepted, QString());
    ASSERT_EQ(MsgBoxLog().size(), 1u);
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Confirmation);
    EXPECT_TRUE(MsgBoxLog()[0].text.startsWith(existing));

    // Showing again clears SaveAsAccepted; a read-only file is refused by Save As.
    QFile::setPermissions(existing, QFile::ReadOwner);
    picks = {existing};
    ClearMsgBoxLog();
    Show([&] {
        EXPECT_FALSE(SaveAsAccepted);
        QTest::mouseClick(dlg->btnRefFile, Qt::LeftButton);
        EXPECT_FALSE(SaveAsAccepted);
    });
    ASSERT_EQ(MsgBoxLog().size(), 1u);
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Warning);

    // Write: the Open dialog; it needs an existing file and does not set SaveAsAccepted.
    AccessOp = AccessWrite;
    dlg->Prepare(QStringLiteral("書き込み設定"), QStringLiteral("書き込み範囲設定"), QStringLiteral("ソースファイル名"),
                 TInputLbaDlg::ActFileOpen);
    picks = {dir.filePath(QStringLiteral("nothing.bin")), existing};
    ClearFileDialogLog();
    Show([&] {
        QTest::mouseClick(dlg->btnRefFile, Qt::LeftButton);
        EXPECT_EQ(dlg->edtFilePath->text(), existing);
        EXPECT_FALSE(SaveAsAccepted);
    });
    EXPECT_EQ(P().FilePath, existing);
    EXPECT_TRUE(AccessParams[AccessRead].FilePath != existing);
    ASSERT_EQ(FileDialogLog().size(), 2u);
    EXPECT_EQ(FileDialogLog()[0].call.kind, FileDialogKind::Open);
}

}  // namespace
