// What a screen reader and an eye without colour get from the program: lamps
// and slot buttons named with their slot and state, the name change
// announced, the slot button a push button whose press opens the slot, every
// input named (the announcement of a change reaches AT-SPI: tests/e2e), each lamp state drawn apart in greyscale, and every dialog
// and box tied to the window it belongs to.
#include "AboutBox.h"
#include "AppFixture.h"
#include "AppMain.h"
#include "CardAcc.h"
#include "CardInfo.h"
#include "Forms.h"
#include "InputLba.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "Shape.h"
#include "UnitState.h"

#include <QAccessible>
#include <QtTest/QTest>
#include <QtWidgets>
#include <cmath>
#include <map>

using namespace tvqtest;

namespace {
constexpr uint64_t kCard = 4ull << 20;

QString AccName(QObject *o)
{
    QAccessibleInterface *i = QAccessible::queryAccessibleInterface(o);
    return i ? i->text(QAccessible::Name) : QStringLiteral("<none>");
}

// Relative luminance (WCAG) of each pixel: what is left of a colour in greyscale.
std::vector<double> Luminance(TShape::State state)
{
    QWidget host;
    host.setAutoFillBackground(true);
    host.resize(9, 9);
    auto *lamp = new TShape(&host);
    const uint32_t colour = state == TShape::State::Busy ? clRed
                            : state == TShape::State::Ready ? clLime : clGray;
    lamp->setCardUnusable(state == TShape::State::Unusable);
    lamp->setBrushColor(colour);
    const QImage img = host.grab().toImage().convertToFormat(QImage::Format_RGB32);
    std::vector<double> lum;
    auto lin = [](int c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            lum.push_back(0.2126 * lin(qRed(p)) + 0.7152 * lin(qGreen(p)) + 0.0722 * lin(qBlue(p)));
        }
    return lum;
}

// Runs fn once the widget is on screen (from its modal loop), then stops looking.
void WhenShown(QWidget *w, std::function<void()> fn)
{
    auto *t = new QTimer;
    t->setInterval(5);
    QObject::connect(t, &QTimer::timeout, [t, w, fn] {
        if (!w->isVisible())
            return;
        t->stop();
        t->deleteLater();
        fn();
    });
    t->start();
}

using AccessTest = AppFixture;
} // namespace

TEST_F(AccessTest, LampsAndSlotButtonsSayTheirSlotAndStateAndAnnounceChanges)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    vbus::DriveParams odd = vbus::DefaultDriveParams(kCard);
    odd.sectorSize = 1024;
    Bus().InsertBlank("u", 2, kCard, odd);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;

    auto expectSlot = [](int n, const QString &text) {
        EXPECT_EQ(AccName(SlotLamps[n]), text) << "lamp " << n;
        EXPECT_EQ(SlotLamps[n]->toolTip(), text) << "lamp " << n;
        EXPECT_EQ(AccName(SlotButtons[n]), text) << "button " << n;
        EXPECT_EQ(SlotButtons[n]->toolTip(), text) << "button " << n;
    };
    expectSlot(0, QStringLiteral("VD: カードあり（使用可能）"));
    expectSlot(1, QStringLiteral("スロット 1（Master）: カードあり（使用可能）"));
    expectSlot(2, QStringLiteral("スロット 2: 使用できないカード"));
    expectSlot(3, QStringLiteral("スロット 3: カードなし"));
    EXPECT_EQ(SlotLamps[2]->brushColor(), uint32_t(clGray)) << "the described colour stays";
    EXPECT_EQ(QAccessible::queryAccessibleInterface(SlotButtons[3])->text(QAccessible::Description),
              QStringLiteral("スロット 3: カードなし。押すとカードアクセス画面を開きます（ドライブ %1:）")
                  .arg(QChar(SlotTable[3].DriveLetter)));

    // Inserted, busy, pulled, replaced by a card without heads.
    Bus().InsertBlank("u", 3, kCard);
    w->Timer1Timer();
    expectSlot(3, QStringLiteral("スロット 3: カードあり（使用可能）"));

    SlotLamps[3]->setBrushColor(clRed);  // as the card access dialog does for a transfer
    expectSlot(3, QStringLiteral("スロット 3: 転送中"));
    SlotLamps[3]->setBrushColor(clLime);

    Bus().Pull("u", 3);
    w->Timer1Timer();
    expectSlot(3, QStringLiteral("スロット 3: カードなし"));

    vbus::DriveParams headless = vbus::DefaultDriveParams(kCard);
    headless.heads = 0;
    Bus().InsertBlank("u", 3, kCard, headless);
    w->Timer1Timer();
    EXPECT_EQ(SlotLamps[3]->brushColor(), uint32_t(clLime)) << "an arrival is lime, as described";
    expectSlot(3, QStringLiteral("スロット 3: 使用できないカード"));
}

TEST_F(AccessTest, TheSmallModelNamesItsSlotsAsItsLabelsDo)
{
    Bus().AddUnit("u", Model::Tvq206);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    EXPECT_EQ(AccName(SlotLamps[1]), QStringLiteral("Master: カードあり（使用可能）"));
    EXPECT_EQ(AccName(SlotLamps[2]), QStringLiteral("スロット 1: カードなし"));
    EXPECT_EQ(AccName(SlotButtons[6]), QStringLiteral("スロット 5: カードなし"));
}

TEST_F(AccessTest, SlotButtonIsAPushButtonWhosePressOpensTheSlot)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 3, kCard);
    ASSERT_TRUE(CreateForms());
    AppMainForm->show();

    QAccessibleInterface *b = QAccessible::queryAccessibleInterface(SlotButtons[3]);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->role(), QAccessible::Button);
    ASSERT_TRUE(b->actionInterface());
    EXPECT_TRUE(b->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    EXPECT_FALSE(b->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));

    // The press opens the card access dialog on slot 3, with the button down,
    // as a click does; once the dialog has closed the button is up again.
    bool open = false, down = false;
    QString caption;
    WhenShown(CardAccWidget, [&] {
        open = CardAccWidget->isVisible();
        caption = CardAccWidget->windowTitle();
        down = SlotButtons[3]->isChecked() && b->state().pressed;
        CardAccDlg->SetModalResult(mrCancel);
    });
    b->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_FALSE(CardAccWidget->isVisible()) << "the screen reader's call returns before the dialog opens";
    for (int i = 0; i < 100 && !open; ++i)
        QTest::qWait(10);
    EXPECT_TRUE(open);
    EXPECT_TRUE(down);
    EXPECT_TRUE(caption.startsWith(QStringLiteral("SLOT#3 ")));
    EXPECT_EQ(OpenLampIndex, 3u);
    EXPECT_FALSE(SlotButtons[3]->isChecked());
    EXPECT_FALSE(b->state().pressed);

    // A slot without a card: the press does nothing.
    QAccessibleInterface *empty = QAccessible::queryAccessibleInterface(SlotButtons[4]);
    empty->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    ProcessEvents();
    EXPECT_EQ(OpenLampIndex, 3u);
    EXPECT_TRUE(empty->state().disabled);
}

TEST_F(AccessTest, EveryInputAndStatusControlHasAName)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    InputLbaDlg->Prepare(QStringLiteral("読み出し設定"), QStringLiteral("読み出し範囲設定"),
                         QStringLiteral("保存ファイル名"), TInputLbaDlg::ActFileSaveAs);
    EXPECT_EQ(AccName(InputLbaDlg->edtStartSect), QStringLiteral("先頭セクタ (Hex)"));
    EXPECT_EQ(AccName(InputLbaDlg->edtSectCnt), QStringLiteral("セクタ数    (Hex)"));
    EXPECT_EQ(AccName(InputLbaDlg->edtFilePath), QStringLiteral("保存ファイル名"));
    InputLbaDlg->Prepare(QStringLiteral("書き込み設定"), QStringLiteral("書き込み範囲設定"),
                         QStringLiteral("ソースファイル名"), TInputLbaDlg::ActFileOpen);
    EXPECT_EQ(AccName(InputLbaDlg->edtFilePath), QStringLiteral("ソースファイル名"));
    EXPECT_EQ(AccName(CardAccDlg->edtStatus), QStringLiteral("状態"));
    EXPECT_EQ(AccName(CardAccDlg->ProgressBar1), QStringLiteral("進行状況"));

    // And nothing that takes input or shows a state is left unnamed.
    for (QWidget *form : {static_cast<QWidget *>(AppMainForm), static_cast<QWidget *>(CardAccDlg),
                          static_cast<QWidget *>(InputLbaDlg), static_cast<QWidget *>(CardInfoDlg),
                          static_cast<QWidget *>(AboutBoxDlg)}) {
        for (QWidget *c : form->findChildren<QWidget *>()) {
            const bool input = qobject_cast<QLineEdit *>(c) || qobject_cast<QAbstractButton *>(c) ||
                               qobject_cast<QProgressBar *>(c) || qobject_cast<QAbstractItemView *>(c) ||
                               qobject_cast<TShape *>(c);
            if (!input || c->objectName().startsWith(QLatin1String("qt_")) ||
                qobject_cast<QAbstractScrollArea *>(c->parentWidget()))
                continue;
            EXPECT_FALSE(AccName(c).trimmed().isEmpty())
                << form->objectName().toStdString() << "." << c->objectName().toStdString();
        }
    }
}

TEST_F(AccessTest, EachLampStateIsToldApartInGreyscale)
{
    EnsureApplication();
    using S = TShape::State;
    const S states[] = {S::NoCard, S::Ready, S::Busy, S::Unusable};
    for (S a : states)
        for (S b : states) {
            if (a >= b)
                continue;
            const std::vector<double> la = Luminance(a), lb = Luminance(b);
            int apart = 0;
            for (size_t i = 0; i < la.size(); ++i)
                if (std::fabs(la[i] - lb[i]) > 0.15)
                    ++apart;
            // Six of the 81 pixels clearly lighter or darker: a shape, not a tint.
            EXPECT_GE(apart, 6) << TShape::StateText(a).toStdString() << " / "
                                << TShape::StateText(b).toStdString();
        }
}

TEST_F(AccessTest, DialogsAndBoxesAreTransientForTheWindowTheyBelongTo)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    AppMainForm->show();
    QWindow *main = AppMainForm->windowHandle();
    ASSERT_TRUE(main);

    QWindow *aboutParent = nullptr;
    QTimer::singleShot(0, [&] {
        aboutParent = AboutBoxDlg->windowHandle()->transientParent();
        AboutBoxDlg->SetModalResult(mrOk);
    });
    AppMainForm->mniAboutClick();
    EXPECT_EQ(aboutParent, main);

    // The drive list over the main window, the card access dialog over the
    // list, the parameter dialog over that, and a real box over the parameters.
    QWindow *listParent = nullptr, *accParent = nullptr, *paramParent = nullptr, *boxParent = nullptr;
    QTimer::singleShot(0, [&] {
        listParent = CardInfoDlg->windowHandle()->transientParent();
        OpenLampIndex = 1;
        OpenSlotIndex = SlotEntryOf(1);
        QTimer::singleShot(0, [&] {
            accParent = CardAccDlg->windowHandle()->transientParent();
            QTimer::singleShot(0, [&] {
                paramParent = InputLbaDlg->windowHandle()->transientParent();
                SetMsgResponder({});
                QTimer::singleShot(0, [&] {
                    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                        boxParent = box->windowHandle()->transientParent();
                        box->done(QMessageBox::Ok);
                    }
                });
                ShowMessageBox(MsgKind::Information, QStringLiteral("box"));
                InputLbaDlg->SetModalResult(mrCancel);
            });
            QTest::mouseClick(CardAccDlg->btnRead, Qt::LeftButton);
            CardAccDlg->SetModalResult(mrCancel);
        });
        CardAccDlg->ShowModal();
        CardInfoDlg->SetModalResult(mrOk);
    });
    AppMainForm->mniViewClick();
    EXPECT_EQ(listParent, main);
    EXPECT_EQ(accParent, CardInfoDlg->windowHandle());
    EXPECT_EQ(paramParent, CardAccDlg->windowHandle());
    EXPECT_EQ(boxParent, InputLbaDlg->windowHandle());
}

TEST_F(AccessTest, MainWindowInGreyscaleTellsTheSlotsApart)
{
    // Slot 1 ready, 2 busy (as during a read), 3 unusable, 4 empty.
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 2, kCard);
    vbus::DriveParams headless = vbus::DefaultDriveParams(kCard);
    headless.heads = 0;
    Bus().InsertBlank("u", 3, kCard, headless);
    ASSERT_TRUE(CreateForms());
    AppMainForm->show();
    SlotLamps[2]->setBrushColor(clRed);
    ProcessEvents();

    const QImage grey = AppMainForm->grab().toImage().convertToFormat(QImage::Format_Grayscale8);
    // Kept beside the test: the README shows it.
    grey.save(QStringLiteral("main-window-greyscale.png"));
    const int shown[] = {1, 2, 3, 4};
    auto lampPixels = [&](int n) {
        const QPoint at = SlotLamps[n]->mapTo(AppMainForm, QPoint(0, 0));
        std::vector<int> v;
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 9; ++x)
                v.push_back(qGray(grey.pixel(at.x() + x, at.y() + y)));
        return v;
    };
    for (int a : shown)
        for (int b : shown) {
            if (a >= b)
                continue;
            const std::vector<int> pa = lampPixels(a), pb = lampPixels(b);
            int apart = 0;
            for (size_t i = 0; i < pa.size(); ++i)
                if (std::abs(pa[i] - pb[i]) > 30)
                    ++apart;
            EXPECT_GE(apart, 6) << "slots " << a << " and " << b;
        }
    // The enlarged lamp row, for the README.
    const QPoint from = SlotLamps[0]->mapTo(AppMainForm, QPoint(-4, -16));
    grey.copy(QRect(from, QSize(SlotLamps[10]->x() - SlotLamps[0]->x() + 17, 50)))
        .scaled(QSize(4 * (SlotLamps[10]->x() - SlotLamps[0]->x() + 17), 200), Qt::IgnoreAspectRatio, Qt::FastTransformation)
        .save(QStringLiteral("lamps-greyscale-x4.png"));
}
