// Start-up: single instance, the library check, the verdict on the unit,
// the start without a unit, the mask of all slots.
#include "AppEntry.h"
#include "AppFixture.h"
#include "AppMain.h"
#include "Forms.h"
#include "InstanceLock.h"
#include "Shape.h"
#include "UnitState.h"

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest/QTest>
#include <QtWidgets>

#include <signal.h>

using namespace tvqtest;

namespace {
constexpr uint64_t kCard = 4ull << 20;

class StartupTest : public AppFixture {
protected:
    // Runs the program entry with a loop that only records that it ran.
    int RunEntry(const QString &library = QString())
    {
        ProgramEntryOptions options;
        options.libraryPath = library;
        options.forms = FormOptions;
        options.runLoop = [this] {
            loopRan = true;
            formsDuringLoop = CardAccDlg != nullptr && AboutBoxDlg != nullptr &&
                              InputLbaDlg != nullptr && CardInfoDlg != nullptr;
            return 0;
        };
        return ProgramEntry(options);
    }
    bool loopRan = false;
    bool formsDuringLoop = false;
};

TEST_F(StartupTest, SecondCopyEndsSilently)
{
    Bus().AddUnit("u", Model::Tvq210);
    InstanceLock first;
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_EQ(RunEntry(), 0);
    EXPECT_FALSE(loopRan);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(AppMainForm, nullptr);
    EXPECT_TRUE(Bus().Bus().LockedTargets("u").empty()) << "the second copy must not touch the unit";

    // Once the first copy has gone the program starts normally.
    first.Release();
    EXPECT_EQ(RunEntry(), 0);
    EXPECT_TRUE(loopRan);
    EXPECT_TRUE(formsDuringLoop);
}

TEST_F(StartupTest, SecondProcessEndsSilentlyAndStaleLockIsTakenOver)
{
    Bus().AddUnit("u", Model::Tvq210);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", TempDir() + "/runtime");
    env.insert("QEVCRDIO_BUS", QString::fromStdString(Bus().Dir()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", TempDir());
    env.insert("XDG_CONFIG_HOME", TempDir() + "/settings");

    // The first copy stays in its start-up information box.
    QProcess first;
    first.setProcessEnvironment(env);
    first.setWorkingDirectory(TempDir());
    first.start(TVQCRDUT_PATH, {});
    ASSERT_TRUE(first.waitForStarted(5000));
    const QString lockPath = TempDir() + "/runtime/TvqcrdApp.lock";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(lockPath); }, 10000));

    QProcess second;
    second.setProcessEnvironment(env);
    second.setWorkingDirectory(TempDir());
    second.start(TVQCRDUT_PATH, {});
    ASSERT_TRUE(second.waitForFinished(10000)) << "the second copy must end by itself";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    // The first copy crashes: its lock is left behind, and is taken over.
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(lockPath));
    InstanceLock again;
    EXPECT_EQ(again.Path(), lockPath);
    EXPECT_TRUE(again.TryAcquire());
}

TEST_F(StartupTest, UnusableLibraryGivesItsErrorBox)
{
    Bus().AddUnit("u", Model::Tvq210);
    const QString broken = TempDir() + "/libqevcrdio.so";
    QFile f(broken);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a shared object");
    f.close();

    bool mainWindowDuringBox = true;
    AnswerNextBox([&](const MsgBoxCall &) {
        mainWindowDuringBox = AppMainForm != nullptr;
        return int(mrOk);
    });
    EXPECT_EQ(RunEntry(broken), 1);
    EXPECT_FALSE(loopRan);
    EXPECT_FALSE(mainWindowDuringBox);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
    EXPECT_EQ(Boxes()[0].title, QStringLiteral("エラー"));
    EXPECT_EQ(Boxes()[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("qevcrdio.dll が正常にロードされませんでした。\n"
                                              "アプリケーションをインストールし直すとこの問題は解決する場合があります。"));

    // A missing file says the same.
    ClearBoxes();
    EXPECT_EQ(RunEntry(TempDir() + "/nothing-here.so"), 1);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, LibraryErrorText());
}

struct RefusedCase {
    const char *label;
    vbus::Firmware fw;
    QString text;
    QString biosShown;
    QString cardIfShown;
    QString modeShown;
};

TEST_F(StartupTest, RefusedUnitEndsWithStartupWordingAndNoInformationBox)
{
    vbus::Firmware oldFw;
    oldFw.bios = 0x20009;
    vbus::Firmware oldCardIf;
    oldCardIf.cardIf = 0x20009;
    vbus::Firmware badMode;
    badMode.flags = 0x0002;
    const RefusedCase cases[] = {
        {"firmware 2.09", oldFw, StartupFirmwareErrorText(), "2.09", "2.10", "PC Card ATA モード"},
        {"card I/F 2.09", oldCardIf, StartupFirmwareErrorText(), "2.10", "2.09", "PC Card ATA モード"},
        {"mode 2", badMode, StartupModeErrorText(), "2.10", "2.10", "サポートしないモードです"},
    };
    int i = 0;
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "u" + std::to_string(i++);
        Bus().AddUnit(name, Model::Tvq210);
        Bus().SetFirmware(name, c.fw);
        Bus().InsertBlank(name, 1, kCard);
        ClearBoxes();
        loopRan = false;

        QString biosDuringBox, cardIfDuringBox, modeDuringBox;
        bool dialogsDuringBox = true;
        AnswerNextBox([&](const MsgBoxCall &) {
            // The window was created and filled with the refused unit's data.
            biosDuringBox = AppMainForm ? AppMainForm->lblBiosVer->text() : QString();
            cardIfDuringBox = AppMainForm ? AppMainForm->lblAppVer->text() : QString();
            modeDuringBox = AppMainForm ? AppMainForm->lblCardIfMode->text() : QString();
            dialogsDuringBox = CardAccDlg || AboutBoxDlg || InputLbaDlg || CardInfoDlg;
            return int(mrOk);
        });
        EXPECT_EQ(RunEntry(), 1);
        EXPECT_FALSE(loopRan);
        ASSERT_EQ(Boxes().size(), 1u) << "no information box before the error";
        EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
        EXPECT_EQ(Boxes()[0].text, c.text);
        EXPECT_EQ(biosDuringBox, c.biosShown);
        EXPECT_EQ(cardIfDuringBox, c.cardIfShown);
        EXPECT_EQ(modeDuringBox, c.modeShown);
        EXPECT_FALSE(dialogsDuringBox) << "the dialogs are created only for an accepted unit";
        EXPECT_EQ(AppMainForm, nullptr);
        EXPECT_TRUE(Bus().Bus().LockedTargets(name).empty()) << "a refused unit is released at the end";
        EXPECT_EQ(TransferBuffer, nullptr);
        Bus().Unplug(name);
    }
    // The two start-up texts are not the arrival ones.
    EXPECT_TRUE(StartupFirmwareErrorText().contains(QStringLiteral("このプログラムには対応していません")));
    EXPECT_TRUE(StartupModeErrorText().contains(QStringLiteral("このプログラムには対応していません")));
}

TEST_F(StartupTest, NoUnitGivesInformationBoxThenAsksForTheUnit)
{
    bool timerDuringBox = true;
    bool askingDuringBox = false;
    AnswerNextBox([&](const MsgBoxCall &) {
        timerDuringBox = AppMainForm->Timer1->isActive();
        askingDuringBox = !AppMainForm->lblNoInfo->isHidden();
        return int(mrOk);
    });
    ASSERT_TRUE(CreateForms());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Information);
    EXPECT_EQ(Boxes()[0].title, QStringLiteral("情報"));
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("※Limit Editionは最大2MBアクセスです。"));
    EXPECT_FALSE(timerDuringBox) << "polling starts after the box";
    EXPECT_TRUE(askingDuringBox);

    TAppMainForm *w = AppMainForm;
    EXPECT_EQ(w->windowTitle(), QStringLiteral("TVQ-206/210CF Card Utility Limit Edition"));
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(w->Timer1->interval(), 1000);
    EXPECT_FALSE(w->lblNoInfo->isHidden());
    EXPECT_EQ(w->lblNoInfo->text(), QStringLiteral("ユニットを接続して下さい"));
    EXPECT_TRUE(w->pnlSocketInfo->isHidden());
    EXPECT_FALSE(w->mniOpen->isEnabled());
    EXPECT_FALSE(w->mniEject->isEnabled());
    EXPECT_FALSE(w->mniView->isEnabled());
    EXPECT_EQ(w->lblProductName->text(), QStringLiteral("ユニットが見つかりません"));
    EXPECT_EQ(w->lblCardIfMode->text(), QStringLiteral("?????"));
    EXPECT_EQ(AllSlotsMask, 0.0L);
    EXPECT_NE(CardAccDlg, nullptr);
    EXPECT_NE(CardInfoDlg, nullptr);

    // Ticks without a unit change nothing.
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 0u);
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(StartupTest, AcceptedUnitsFillTheWindowAndSetTheMaskOfAllSlots)
{
    struct Case {
        Model model;
        uint32_t targets;
        long double all;
        QString name;
    } cases[] = {{Model::Tvq206, 7, 63.0L, "TVQ-206"}, {Model::Tvq210, 11, 1023.0L, "TVQ-210CF"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        Bus().AddUnit("u", c.model, 0x0001, 0x1234);
        Bus().InsertBlank("u", 1, kCard);
        Bus().InsertBlank("u", 3, kCard);
        ClearBoxes();
        ASSERT_TRUE(CreateForms());
        TAppMainForm *w = AppMainForm;
        EXPECT_EQ(DeviceCount, c.targets);
        EXPECT_EQ(AllSlotsMask, c.all);
        EXPECT_EQ(SlotPresenceMask, 0b101u) << "the second configuration shows the mask again";
        EXPECT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(w->lblProductName->text(), c.name);
        EXPECT_EQ(w->lblProductCode->text(), QStringLiteral("00001234"));
        EXPECT_EQ(w->lblBiosVer->text(), QStringLiteral("2.10"));
        EXPECT_EQ(w->lblAppVer->text(), QStringLiteral("2.10"));
        EXPECT_EQ(w->lblCardIfMode->text(), QStringLiteral("PC Card ATA モード"));
        EXPECT_FALSE(w->pnlSocketInfo->isHidden());
        EXPECT_TRUE(w->lblNoInfo->isHidden());
        EXPECT_TRUE(w->mniOpen->isEnabled());
        EXPECT_TRUE(w->mniView->isEnabled());
        EXPECT_EQ(SlotLamps[1]->brushColor(), uint32_t(clLime));
        EXPECT_EQ(SlotLamps[2]->brushColor(), uint32_t(clGray));
        EXPECT_EQ(SlotLamps[3]->brushColor(), uint32_t(clLime));
        EXPECT_TRUE(SlotButtons[1]->isEnabled());
        EXPECT_FALSE(SlotButtons[2]->isEnabled());
        EXPECT_TRUE(OpenMenuItems[1]->isEnabled());
        EXPECT_FALSE(OpenMenuItems[2]->isEnabled());
        EXPECT_TRUE(EjectMenuItems[3]->isEnabled());
        EXPECT_EQ(Bus().Bus().LockedTargets("u").size(), c.targets);
        EXPECT_NE(TransferBuffer, nullptr);

        // Closing the window releases the unit and the buffer.
        w->close();
        EXPECT_FALSE(w->Timer1->isActive());
        EXPECT_EQ(TransferBuffer, nullptr);
        EXPECT_TRUE(Bus().Bus().LockedTargets("u").empty());
        DestroyApplicationForms();
        ResetGlobalState();
        Bus().Bus().Unplug("u");
        // A fresh bus for the next model.
        TearDown();
        SetUp();
    }
}

TEST_F(StartupTest, FormatsOfTheInformationPanel)
{
    char name[16];
    std::memcpy(name, "TVQ-206         ", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QStringLiteral("TVQ-206"));
    std::memcpy(name, "                ", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QString());
    std::memcpy(name, "AB\0CD           ", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QStringLiteral("AB"));
    // The text ends at the NUL first; the blanks before it go too.
    std::memcpy(name, "AB  \0CD         ", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QStringLiteral("AB"));
    std::memcpy(name, "\0BCDEFGHIJKLMNOP", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QString());
    std::memcpy(name, "ABCDEFGHIJKLMNOP", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QStringLiteral("ABCDEFGHIJKLMNOP"));
    std::memcpy(name, "A B             ", 16);
    EXPECT_EQ(TAppMainForm::FormatProductName(name), QStringLiteral("A B"));

    EXPECT_EQ(TAppMainForm::FormatVersion(0x20100), QStringLiteral("2.10"));
    EXPECT_EQ(TAppMainForm::FormatVersion(0x20305), QStringLiteral("2.35"));
    EXPECT_EQ(TAppMainForm::FormatVersion(0x20009), QStringLiteral("2.09"));
    // Bits outside the three nibbles do not count.
    EXPECT_EQ(TAppMainForm::FormatVersion(0xFFF2F1F0u), QStringLiteral("2.10"));
    EXPECT_EQ(TAppMainForm::FormatVersion(0x9F9F9), QStringLiteral("9.99"));
}

}  // namespace
