// Per-slot menus, the open and eject commands, help and the about box.
#include "AboutBox.h"
#include "AppFixture.h"
#include "AppMain.h"
#include "CardAcc.h"
#include "Forms.h"
#include "ModalForm.h"
#include "Shape.h"
#include "ShellOpen.h"
#include "UnitState.h"

#include <QtTest/QTest>
#include <QtWidgets>

using namespace tvqtest;

namespace {
constexpr uint64_t kCard = 4ull << 20;

ModalForm *CardAccess() { return qobject_cast<ModalForm *>(CardAccWidget); }

using MenusTest = AppFixture;

TEST_F(MenusTest, ItemsOfTheTvq210)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 4, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;

    ASSERT_EQ(w->mniOpen->actions().size(), 11);
    ASSERT_EQ(w->mniEject->actions().size(), 11);
    for (int n = 0; n < 11; ++n) {
        SCOPED_TRACE(n);
        ASSERT_NE(OpenMenuItems[n], nullptr);
        EXPECT_EQ(w->mniOpen->actions()[n], OpenMenuItems[n]) << "slot-number order";
        EXPECT_EQ(w->mniEject->actions()[n], EjectMenuItems[n]);
        const QString tail = n == 0 ? QStringLiteral("VD") : QStringLiteral("Slot%1").arg(n);
        EXPECT_EQ(OpenMenuItems[n]->objectName(), "mniOpen" + tail);
        EXPECT_EQ(EjectMenuItems[n]->objectName(), "mniEject" + tail);
        const QString caption = n == 0 ? QStringLiteral("VD") : QStringLiteral("Slot %1").arg(n);
        EXPECT_EQ(OpenMenuItems[n]->text(), caption);
        EXPECT_EQ(EjectMenuItems[n]->text(), caption);
        const QString key = n == 0 ? QStringLiteral("V") : QStringLiteral("F%1").arg(n);
        EXPECT_EQ(OpenMenuItems[n]->shortcut(), QKeySequence("Ctrl+" + key));
        EXPECT_EQ(EjectMenuItems[n]->shortcut(), QKeySequence("Alt+" + key));
        EXPECT_EQ(OpenMenuItems[n]->isEnabled(), n == 0 || n == 4);
    }
    EXPECT_EQ(w->centralWidget()->size(), QSize(438, 262));

    // Alt+F4 ejects the card of slot 4.
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    w->Timer1->stop();
    QTest::keyClick(w, Qt::Key_F4, Qt::AltModifier);
    EXPECT_FALSE(Bus().Bus().HasCard("u", 4));
    EXPECT_EQ(SlotLamps[4]->brushColor(), uint32_t(clGray));
    EXPECT_TRUE(w->isVisible()) << "the shortcut is the eject item's, not the window's close";
}

TEST_F(MenusTest, ItemsOfTheTvq206AndTheCaptionsTheyOpen)
{
    Bus().AddUnit("u", Model::Tvq206);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 2, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;

    const char *names[] = {"VD", "SlotM", "Slot1", "Slot2", "Slot3", "Slot4", "Slot5"};
    const char *captions[] = {"VD", "Master", "Slot 1", "Slot 2", "Slot 3", "Slot 4", "Slot 5"};
    const char *keys[] = {"V", "M", "F1", "F2", "F3", "F4", "F5"};
    ASSERT_EQ(w->mniOpen->actions().size(), 7);
    for (int n = 0; n < 7; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(OpenMenuItems[n]->objectName(), QStringLiteral("mniOpen") + names[n]);
        EXPECT_EQ(EjectMenuItems[n]->objectName(), QStringLiteral("mniEject") + names[n]);
        EXPECT_EQ(OpenMenuItems[n]->text(), QString::fromLatin1(captions[n]));
        EXPECT_EQ(OpenMenuItems[n]->shortcut(), QKeySequence(QStringLiteral("Ctrl+") + keys[n]));
        EXPECT_EQ(EjectMenuItems[n]->shortcut(), QKeySequence(QStringLiteral("Alt+") + keys[n]));
    }
    for (int n = 7; n < 11; ++n) {
        EXPECT_EQ(OpenMenuItems[n], nullptr);
        EXPECT_EQ(EjectMenuItems[n], nullptr);
    }

    struct Seen {
        QString caption;
        uint32_t lamp = 99, entry = 99;
    };
    auto openVia = [&](QAction *item) {
        Seen seen;
        QTimer::singleShot(0, [&] {
            seen.caption = CardAccWidget->windowTitle();
            seen.lamp = OpenLampIndex;
            seen.entry = OpenSlotIndex;
            CardAccess()->SetModalResult(mrCancel);
        });
        item->trigger();
        return seen;
    };
    const Seen slot1 = openVia(OpenMenuItems[2]);
    EXPECT_TRUE(slot1.caption.startsWith(QStringLiteral("SLOT#1 （"))) << slot1.caption.toStdString();
    EXPECT_TRUE(slot1.caption.endsWith(QStringLiteral(": ドライブ）")));
    EXPECT_EQ(slot1.lamp, 2u);
    EXPECT_EQ(slot1.entry, 2u);
    const Seen master = openVia(OpenMenuItems[1]);
    EXPECT_TRUE(master.caption.startsWith(QStringLiteral("MASTER SLOT （"))) << master.caption.toStdString();
    EXPECT_EQ(master.lamp, 1u);
    const Seen vd = openVia(OpenMenuItems[0]);
    EXPECT_TRUE(vd.caption.startsWith(QStringLiteral("VD （")));
    EXPECT_EQ(vd.entry, VdIndex);
    // The caption carries the entry's drive letter.
    const QChar letter(SlotTable[2].DriveLetter);
    EXPECT_EQ(slot1.caption, QStringLiteral("SLOT#1 （") + letter + QStringLiteral(": ドライブ）"));
}

TEST_F(MenusTest, SlotButtonStaysDownWhileItsSlotIsOpenWithTheVdLast)
{
    Bus().AddUnit("u", Model::Tvq210, 0x0201);  // VD is the last target
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 3, kCard);
    ASSERT_TRUE(CreateForms());
    ASSERT_EQ(VdAtEnd, 1u);
    ASSERT_EQ(VdIndex, 10u);

    bool downWhileOpen = false, otherUp = false;
    uint32_t entry = 99;
    QString caption;
    SlotButtons[1]->setChecked(true);  // pressed earlier
    QTimer::singleShot(0, [&] {
        downWhileOpen = SlotButtons[3]->isChecked();
        otherUp = !SlotButtons[1]->isChecked();
        entry = OpenSlotIndex;
        caption = CardAccWidget->windowTitle();
        CardAccess()->SetModalResult(mrCancel);
    });
    QTest::mouseClick(SlotButtons[3], Qt::LeftButton);
    EXPECT_TRUE(downWhileOpen);
    EXPECT_TRUE(otherUp) << "one group: pressing one raises the others";
    EXPECT_FALSE(SlotButtons[3]->isChecked()) << "released when the dialog has closed";
    EXPECT_EQ(OpenLampIndex, 3u);
    EXPECT_EQ(entry, 2u);
    EXPECT_TRUE(caption.startsWith(QStringLiteral("SLOT#3 （")));
}

TEST_F(MenusTest, CardPulledWhileItsDialogIsOpenClosesIt)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 3, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ClearBoxes();

    bool closedByEvent = false;
    QTimer::singleShot(0, [&] {
        Bus().Pull("u", 3);
        w->Timer1Timer();  // posts WM_CARD_REMOVED to the open dialog
        ProcessEvents();
        closedByEvent = !CardAccess()->InModalLoop() || CardAccess()->ModalResult() == mrCancel;
        if (!closedByEvent)
            CardAccess()->SetModalResult(mrOk);
    });
    QTest::mouseClick(SlotButtons[3], Qt::LeftButton);
    EXPECT_TRUE(closedByEvent);
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("カードが抜かれました。"));
    EXPECT_FALSE(SlotButtons[3]->isChecked());
    EXPECT_FALSE(SlotButtons[3]->isEnabled());
}

TEST_F(MenusTest, PopupEjectAndTrueIdeMode)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 2, kCard);
    Bus().InsertBlank("u", 3, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    w->Timer1->stop();
    w->show();

    // The popup of slot 2's button ejects slot 2, not another.
    const QPoint at = SlotButtons[2]->rect().center();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, SlotButtons[2]->mapToGlobal(at));
    QCoreApplication::sendEvent(SlotButtons[2], &menuEvent);
    EXPECT_EQ(w->PopupComponent, SlotButtons[2]);
    EXPECT_TRUE(w->PopupMenu1->isVisible());
    ASSERT_EQ(w->PopupMenu1->actions().size(), 1);
    w->PopupMenu1->actions()[0]->trigger();
    w->PopupMenu1->hide();
    EXPECT_FALSE(Bus().Bus().HasCard("u", 2));
    EXPECT_TRUE(Bus().Bus().HasCard("u", 1));
    EXPECT_TRUE(Bus().Bus().HasCard("u", 3));
    EXPECT_EQ(SlotLamps[2]->brushColor(), uint32_t(clGray));

    // The popup of something that is not a slot button ejects nothing.
    w->PopupComponent = w->btnAppHelp;
    w->mniPopEject->trigger();
    EXPECT_TRUE(Bus().Bus().HasCard("u", 1));
    EXPECT_TRUE(Bus().Bus().HasCard("u", 3));

    TearDown();
    SetUp();

    // TrueIDE: eject is hidden everywhere and the command does nothing.
    Bus().AddUnit("t", Model::Tvq210, 0x0401);
    Bus().InsertBlank("t", 1, kCard);
    Bus().InsertBlank("t", 2, kCard);
    ASSERT_TRUE(CreateForms());
    w = AppMainForm;
    EXPECT_EQ(TrueIdeMode, 1u);
    EXPECT_FALSE(w->mniEject->menuAction()->isVisible());
    EXPECT_FALSE(w->mniPopEject->isVisible());
    ASSERT_NE(EjectMenuItems[2], nullptr) << "start-up builds both lists";
    w->PopupComponent = SlotButtons[2];
    w->Action2Execute(w->mniPopEject);
    w->Action2Execute(EjectMenuItems[2]);
    EXPECT_TRUE(Bus().Bus().HasCard("t", 2));
    EXPECT_TRUE(Boxes().size() == 1u) << "only the start-up box";
}

TEST_F(MenusTest, HelpIsLookedUpInTheStartupDirectoryThenInTheInstalledFolder)
{
    const QString startDir = TempDir() + "/start";
    const QString otherDir = TempDir() + "/other";
    const QString dataDir = TempDir() + "/prefix/share/tvqcrdut";
    QDir().mkpath(startDir);
    QDir().mkpath(otherDir);
    QDir().mkpath(dataDir);
    SetInstalledDataDirOverride(dataDir);
    auto touch = [](const QString &path) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    };
    auto opened = [&] {
        return shellOpened.empty() ? QString() : QFileInfo(shellOpened.back().toLocalFile()).canonicalFilePath();
    };
    touch(otherDir + "/TVQCRDUT.chm");
    ASSERT_TRUE(QDir::setCurrent(startDir));
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ClearBoxes();
    const QString missing = QStringLiteral(
        "TVQCRDUT.chm が見つかりません。TVQCRDUT.exe と同じフォルダに存在するか確認してください。");

    // Neither the start-up folder nor the install holds it; the file lies
    // elsewhere, where the process is now.
    ASSERT_TRUE(QDir::setCurrent(otherDir));
    w->btnAppHelpClick();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Information);
    EXPECT_EQ(Boxes()[0].text, missing);
    EXPECT_TRUE(shellOpened.empty());
    EXPECT_EQ(QDir::currentPath(), QDir(startDir).canonicalPath());

    // Installed: started from a terminal anywhere, the installed copy opens.
    touch(dataDir + "/TVQCRDUT.chm");
    ClearBoxes();
    w->btnAppHelpClick();
    EXPECT_TRUE(Boxes().empty());
    ASSERT_EQ(shellOpened.size(), 1u);
    EXPECT_EQ(opened(), QFileInfo(dataDir + "/TVQCRDUT.chm").canonicalFilePath());

    // A copy in the start-up folder comes first; the menu item does the same.
    touch(startDir + "/TVQCRDUT.chm");
    w->mniContents->trigger();
    EXPECT_TRUE(Boxes().empty());
    ASSERT_EQ(shellOpened.size(), 2u);
    EXPECT_EQ(opened(), QFileInfo(startDir + "/TVQCRDUT.chm").canonicalFilePath());

    // The desktop cannot open it: the same box.
    shellOpenResult = false;
    QTest::mouseClick(w->btnAppHelp, Qt::LeftButton);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, missing);

    // The start-up folder is gone: nothing at all.
    ClearBoxes();
    shellOpened.clear();
    QDir(startDir).removeRecursively();
    w->btnAppHelpClick();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(shellOpened.empty());
}

#ifdef MENU_ICON_48
// The window, its dialogs and the about box show the icon of the menu entry.
TEST_F(MenusTest, WindowIconIsTheMenuIcon)
{
    ASSERT_TRUE(CreateForms());
    // Compared as a pixmap holds them (premultiplied): the same pixels.
    const QImage menu = QImage(QStringLiteral(MENU_ICON_48)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    ASSERT_FALSE(menu.isNull()) << MENU_ICON_48;
    auto at48 = [](const QIcon &icon) {
        return icon.pixmap(QSize(48, 48)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    EXPECT_EQ(at48(AppMainForm->windowIcon()), menu);
    EXPECT_EQ(at48(QApplication::windowIcon()), menu);
    EXPECT_EQ(at48(CardAccDlg->windowIcon()), menu);
    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral(MENU_ICON_NAME));
}
#endif

TEST_F(MenusTest, AboutBoxAndExit)
{
    Bus().AddUnit("u", Model::Tvq206);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    EXPECT_EQ(AboutBoxDlg->windowTitle(), QStringLiteral("バージョン情報"));
    EXPECT_EQ(AboutBoxDlg->Label1->text(), QStringLiteral("TVQ-206/210CF Card Utility Limit Edition"));
    EXPECT_EQ(AboutBoxDlg->Label3->text(), QStringLiteral("※Limit Editionは最大2MBアクセスです。"));
    EXPECT_TRUE(AboutBoxDlg->Comments->wordWrap());
    EXPECT_TRUE(AboutBoxDlg->Comments->text().contains(QStringLiteral("TVQ-210CF")));
    EXPECT_TRUE(AboutBoxDlg->OKButton->isDefault());
    EXPECT_FALSE(AboutBoxDlg->Label2->text().isEmpty());

    bool shown = false;
    QTimer::singleShot(0, [&] {
        shown = AboutBoxDlg->isVisible();
        QTest::mouseClick(AboutBoxDlg->OKButton, Qt::LeftButton);
    });
    w->mniAbout->trigger();
    EXPECT_TRUE(shown);
    EXPECT_FALSE(AboutBoxDlg->isVisible());

    // The exit action's hint: its short part on the button, its long part in the menu.
    EXPECT_EQ(w->btnAppClose->toolTip(), QStringLiteral("終了"));
    EXPECT_EQ(w->mniExit->statusTip(), QStringLiteral("アプリケーションを終了する"));

    // The exit button closes the window, which releases the unit.
    w->show();
    EXPECT_FALSE(Bus().Bus().LockedTargets("u").empty());
    QTest::mouseClick(w->btnAppClose, Qt::LeftButton);
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(Bus().Bus().LockedTargets("u").empty());
    EXPECT_EQ(TransferBuffer, nullptr);
}

}  // namespace
