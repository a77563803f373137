#include "CardInfo.h"
#include "ui_CardInfo.h"

#include "Fonts.h"
#include "Forms.h"
#include "MsgBox.h"
#include "UnitState.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>

namespace {

constexpr int kLineHeight = 12;
constexpr int kScrollWidth = 377;

// The record behind a slot number; an all-zero one for a number the table does not hold.
const SlotRecord &RecordOfSlot(uint32_t slot)
{
    static const SlotRecord none{};
    if (slot < VdAtEnd)
        return none;
    const uint32_t entry = slot - VdAtEnd;
    return entry < kSlotTableEntries ? SlotTable[entry] : none;
}

QString SlotLabel(uint32_t slot)
{
    const int n = static_cast<int>(slot);
    switch (ModelKind) {
    case ModelTvq210:
        return QString::asprintf("Slot%2d : ", n);
    case ModelTvq206:
        return slot == 1 ? QStringLiteral("Slot M : ") : QString::asprintf("Slot%2d : ", n - 1);
    default:
        return QString();
    }
}

QString CapacityText(const SlotRecord &r)
{
    const double bytes = static_cast<double>(static_cast<uint64_t>(r.TotalSectors) * r.SectorSize);
    QLocale locale;  // the system's format unless the program set another
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text;
    if (bytes >= 1073741824.0)
        text = locale.toString(bytes / 1073741824.0, 'f', 1) + QStringLiteral("GB");
    else if (bytes >= 1048576.0)
        text = locale.toString(bytes / 1048576.0, 'f', 1) + QStringLiteral("MB");
    else if (bytes >= 1024.0)
        text = locale.toString(bytes / 1024.0, 'f', 1) + QStringLiteral("KB");
    return text.rightJustified(7, QLatin1Char(' '));  // never cut
}

// Caption name of a slot number, as the main window's open command gives it.
QString SlotName(uint32_t slot)
{
    switch (ModelKind) {
    case ModelTvq210:
        return QStringLiteral("SLOT#") + QString::number(slot);
    case ModelTvq206:
        return slot == 1 ? QStringLiteral("MASTER SLOT") : QStringLiteral("SLOT#") + QString::number(slot - 1);
    default:
        return QString();
    }
}

} // namespace

QString GetCardInfoHeader()
{
    return QStringLiteral("        Capacity  Sector Cylinder Head  S/T  B/S  ")
           + (TrueIdeMode ? QStringLiteral("Mode   IORDY") : QStringLiteral("Speed  -WAIT"));
}

QString GetCardInfoLine(bool cardPresent, uint32_t slot)
{
    QString line = SlotLabel(slot);
    if (!cardPresent)
        return line + QString(53, QLatin1Char(' '));

    const SlotRecord &r = RecordOfSlot(slot);
    auto s32 = [](uint32_t v) { return static_cast<int32_t>(v); };
    line += CapacityText(r);
    line += QString::asprintf("%9d%6d%6d%6d%5d ", s32(r.TotalSectors), s32(r.Cylinders), s32(r.Heads),
                              s32(r.SectorsPerTrack), s32(r.SectorSize));
    if (TrueIdeMode)
        line += QString::asprintf(" PIO-%d    ", s32(r.AccessTiming & 7));
    else
        line += QString::asprintf("%4dns    ", s32(r.AccessTiming));
    line += r.WaitCheck ? QStringLiteral("YES") : QStringLiteral("NO ");
    return line;
}

TCardInfoDlg::TCardInfoDlg(QWidget *parent) : ModalForm(parent), ui(new Ui::TCardInfoDlg)
{
    ui->setupUi(this);
    lbxCardInfo = ui->lbxCardInfo;
    OKBtn = ui->OKBtn;
    // The button's caption in the program's font, not the desktop's.
    setFont(PGothicFont(12));
    lbxCardInfo->setAccessibleName(windowTitle());

    QFont f = GothicFont(kLineHeight);
    f.setUnderline(true);
    lbxCardInfo->setFont(f);
    // Lines are never shortened: a line wider than the list scrolls sideways.
    lbxCardInfo->setTextElideMode(Qt::ElideNone);
    lbxCardInfo->setWordWrap(false);
    lbxCardInfo->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    lbxCardInfo->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    // Room for the header and ten slot lines at the font's own line height.
    const int rows = 11 * LineHeight() + 2 * lbxCardInfo->frameWidth();
    if (rows > lbxCardInfo->height()) {
        const int grow = rows - lbxCardInfo->height();
        lbxCardInfo->resize(lbxCardInfo->width(), rows);
        OKBtn->move(OKBtn->x(), OKBtn->y() + grow);
        setFixedSize(width(), height() + grow);
    }
    lbxCardInfo->installEventFilter(this);
    lbxCardInfo->viewport()->installEventFilter(this);
    setFocusProxy(lbxCardInfo);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
}

TCardInfoDlg::~TCardInfoDlg()
{
    delete ui;
}

int TCardInfoDlg::LineHeight() const
{
    // The font's whole height, and below the baseline at least down to the
    // underline: a row of the nominal 12 pixels cut it off.
    const QFontMetrics fm(lbxCardInfo->font());
    return std::max({kLineHeight, fm.height(), fm.ascent() + fm.underlinePos() + fm.lineWidth() + 1});
}

QSize TCardInfoDlg::LineSize(const QString &text) const
{
    // The item view keeps a margin on either side of the text.
    const int margin = lbxCardInfo->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lbxCardInfo) + 1;
    const QFontMetrics fm(lbxCardInfo->font());
    return QSize(std::max(kScrollWidth, fm.horizontalAdvance(text) + 2 * margin + 1), LineHeight());
}

void TCardInfoDlg::AddLine(const QString &text)
{
    auto *item = new QListWidgetItem(text, lbxCardInfo);
    item->setSizeHint(LineSize(text));
}

void TCardInfoDlg::FormActivate()
{
    lbxCardInfo->clear();
    AddLine(GetCardInfoHeader());
    for (uint32_t n = 1; n < DeviceCount && n <= 10; ++n)
        AddLine(::GetCardInfoLine(RecordOfSlot(n).CardPresent != 0, n));
    lbxCardInfo->setCurrentRow(0);
}

void TCardInfoDlg::ReplaceLine(uint32_t slot, const QString &line)
{
    if (slot >= static_cast<uint32_t>(lbxCardInfo->count()))
        return;
    QListWidgetItem *item = lbxCardInfo->item(static_cast<int>(slot));
    item->setText(line);
    item->setSizeHint(LineSize(line));
}

void TCardInfoDlg::lbxCardInfoDblClick()
{
    const int row = lbxCardInfo->currentRow();
    if (row < 0)
        return;
    OpenLampIndex = static_cast<uint32_t>(row);
    if (OpenLampIndex == 0)
        return;
    // A line always stands for a slot of the table; keep the index sound even if it did not.
    if (OpenLampIndex < VdAtEnd || OpenLampIndex - VdAtEnd >= kSlotTableEntries)
        return;
    OpenSlotIndex = OpenLampIndex - VdAtEnd;
    const SlotRecord &r = SlotTable[OpenSlotIndex];
    if (r.CardPresent == 0) {
        ShowMessageBox(MsgKind::Plain, QStringLiteral("カードがセットされていません。"), MsgButtons::Ok, this);
        return;
    }

    auto *dlg = qobject_cast<ModalForm *>(CardAccWidget);
    if (!dlg)
        return;
    const QString letter = r.DriveLetter >= 0x20 && r.DriveLetter < 0x7F
                               ? QString(QLatin1Char(static_cast<char>(r.DriveLetter)))
                               : QString();
    dlg->setWindowTitle(SlotName(OpenLampIndex) + QStringLiteral(" （") + letter + QStringLiteral(": ドライブ）"));
    dlg->ShowModal();
}

void TCardInfoDlg::lbxCardInfoKeyPress(char &key)
{
    if (key == 13)
        lbxCardInfoDblClick();
}

void TCardInfoDlg::OKBtnClick()
{
    SetModalResult(mrOk);
}

bool TCardInfoDlg::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return ModalForm::event(e);
}

bool TCardInfoDlg::eventFilter(QObject *watched, QEvent *e)
{
    // Enter opens the line; it must not reach the dialog's default button.
    if (watched == lbxCardInfo && e->type() == QEvent::KeyPress) {
        auto *k = static_cast<QKeyEvent *>(e);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            char key = 13;
            lbxCardInfoKeyPress(key);
            return true;
        }
    }
    // A double click anywhere in the list opens the selected line; the press
    // before it has already selected the line under the mouse.
    if (watched == lbxCardInfo->viewport() && e->type() == QEvent::MouseButtonDblClick) {
        if (static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton) {
            lbxCardInfoDblClick();
            return true;
        }
    }
    return ModalForm::eventFilter(watched, e);
}

void TCardInfoDlg::keyPressEvent(QKeyEvent *e)
{
    // Esc answers the close button: the list closes with OK.
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        OKBtnClick();
        e->accept();
        return;
    }
    ModalForm::keyPressEvent(e);
}

void TCardInfoDlg::showEvent(QShowEvent *e)
{
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
    // Filled here too: some platforms never activate a window shown offscreen.
    FormActivate();
    lbxCardInfo->setFocus();
    ModalForm::showEvent(e);
}
