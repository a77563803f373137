// The card access and parameter dialogs keep their fixed layout whatever the
// desktop's font: every label's text fits its rectangle at desktop fonts of
// 9 to 12 pt (run again at scale factors 1.5 and 2 by ctest), in both card
// interface modes, with the widest values the dialogs show.
#include "AppFixture.h"
#include "CardAcc.h"
#include "Forms.h"
#include "InputLba.h"
#include "UnitState.h"

#include <QtWidgets>

using namespace tvqtest;

namespace {
QString Plain(QString text) { return text.remove(QLatin1Char('&')); }

// Widgets of form whose text is wider than the room it has.
std::vector<std::string> Overflows(QWidget *form)
{
    std::vector<std::string> bad;
    auto report = [&](QWidget *w, const QString &text, int need, int room) {
        if (need > room)
            bad.push_back(w->objectName().toStdString() + " \"" + text.toStdString() + "\" needs " +
                          std::to_string(need) + " px, has " + std::to_string(room));
    };
    for (QLabel *l : form->findChildren<QLabel *>()) {
        if (l->wordWrap() || l->text().isEmpty())
            continue;
        const QFontMetrics fm(l->font());
        report(l, l->text(), fm.horizontalAdvance(Plain(l->text())), l->contentsRect().width() - 2 * l->margin());
        if (fm.height() > l->contentsRect().height() + 2)
            bad.push_back(l->objectName().toStdString() + " too low for its font");
    }
    for (QLineEdit *e : form->findChildren<QLineEdit *>()) {
        if (e->maxLength() != 8)
            continue;
        // Eight of the widest hexadecimal digit, inside the frame and Qt's 2 px margins.
        const QFontMetrics fm(e->font());
        int widest = 0;
        for (QChar c : QStringLiteral("0123456789ABCDEF"))
            widest = std::max(widest, fm.horizontalAdvance(c));
        QStyleOptionFrame opt;
        opt.initFrom(e);
        opt.lineWidth = e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e);
        const QRect r = e->style()->subElementRect(QStyle::SE_LineEditContents, &opt, e);
        report(e, QStringLiteral("8 digits"), 8 * widest, r.width() - 4);
    }
    for (QAbstractButton *b : form->findChildren<QAbstractButton *>()) {
        const QFontMetrics fm(b->font());
        const int text = fm.horizontalAdvance(Plain(b->text()));
        if (qobject_cast<QRadioButton *>(b))
            report(b, b->text(), b->sizeHint().width(), b->width());
        else if (qobject_cast<QPushButton *>(b))
            report(b, b->text(), text + 2 * b->style()->pixelMetric(QStyle::PM_ButtonMargin), b->width());
    }
    return bad;
}

class FontsTest : public AppFixture, public ::testing::WithParamInterface<int> {};
} // namespace

TEST_P(FontsTest, DialogTextFitsAtTheDesktopFont)
{
    EnsureApplication();
    const QFont saved = QApplication::font();
    // A desktop font of the size under test, in a Japanese family as a
    // Japanese desktop has it.
    QFont desktop(QStringLiteral("Noto Sans CJK JP"));
    desktop.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAPGothic"),
                         QStringLiteral("DejaVu Sans")});
    desktop.setPointSize(GetParam());
    QApplication::setFont(desktop);

    Bus().AddUnit("u", Model::Tvq210);
    // A little under 2 GB: the widest sizes the labels show.
    vbus::DriveParams big = vbus::DefaultDriveParams(2047ull << 20);
    big.accessTiming = 600;
    Bus().InsertBlank("u", 1, 2047ull << 20, big);
    ASSERT_TRUE(CreateForms());
    OpenLampIndex = 1;
    OpenSlotIndex = SlotEntryOf(1);

    for (uint32_t mode : {0u, 1u}) {
        TrueIdeMode = mode;
        CardAccDlg->DispDriveParam(OpenSlotIndex);
        CardAccDlg->lblWarning->show();
        for (const std::string &b : Overflows(CardAccDlg))
            ADD_FAILURE() << GetParam() << " pt, mode " << mode << ": " << b;
    }
    const QString captions[][3] = {
        {QStringLiteral("読み出し設定"), QStringLiteral("読み出し範囲設定"), QStringLiteral("保存ファイル名")},
        {QStringLiteral("書き込み設定"), QStringLiteral("書き込み範囲設定"), QStringLiteral("ソースファイル名")},
        {QStringLiteral("コンペア設定"), QStringLiteral("コンペア範囲設定"), QStringLiteral("コンペア先ファイル名")},
    };
    for (const auto &c : captions) {
        InputLbaDlg->Prepare(c[0], c[1], c[2], TInputLbaDlg::ActFileOpen);
        for (const std::string &b : Overflows(InputLbaDlg))
            ADD_FAILURE() << GetParam() << " pt, " << c[0].toStdString() << ": " << b;
    }
    QApplication::setFont(saved);
}

INSTANTIATE_TEST_SUITE_P(DesktopSizes, FontsTest, ::testing::Values(9, 10, 11, 12),
                         [](const ::testing::TestParamInfo<int> &i) { return std::to_string(i.param) + "pt"; });
