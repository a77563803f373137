#include "AboutBox.h"

#include "ui_AboutBox.h"

#include "AppIcon.h"
#include "AppMain.h"
#include "Fonts.h"

#include <QGuiApplication>
#include <QScreen>

#ifndef TVQ_PROGRAM_VERSION
#define TVQ_PROGRAM_VERSION "1.00"
#endif
#ifndef TVQ_RELEASE_DATE
#define TVQ_RELEASE_DATE "2026/12/08"
#endif

QString ProgramVersionText()
{
    return QStringLiteral(TVQ_PROGRAM_VERSION " (" TVQ_RELEASE_DATE ")");
}

TAboutBoxDlg::TAboutBoxDlg(QWidget *parent) : ModalForm(parent), ui(new Ui::TAboutBoxDlg)
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("AboutBoxDlg"));
    Panel1 = ui->Panel1;
    ProgramIcon = ui->ProgramIcon;
    ProductName = ui->ProductName;
    Version = ui->Version;
    Copyright = ui->Copyright;
    Comments = ui->Comments;
    Label1 = ui->Label1;
    Label2 = ui->Label2;
    Label3 = ui->Label3;
    OKButton = ui->OKButton;

    setFont(PGothicFont(12));
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    ProgramIcon->setPixmap(AppIcon().pixmap(32, 32));
    connect(OKButton, &QPushButton::clicked, this, &TAboutBoxDlg::OKButtonClick);
    FormCreate();
}

TAboutBoxDlg::~TAboutBoxDlg() { delete ui; }

void TAboutBoxDlg::FormCreate()
{
    Label1->setText(QString::fromUtf8(kMainCaption));
    Label2->setText(ProgramVersionText());
    Copyright->setText(QStringLiteral("Copyright (C) QEVRA LABS"));
    Comments->setText(QStringLiteral("本製品は、USB 接続の PC カード マルチステーション TVQ-206 または "
                                     "TVQ-210CF が接続された環境で動作します。"));
    Label3->setText(LimitNoticeText());
}

void TAboutBoxDlg::OKButtonClick() { SetModalResult(mrOk); }

void TAboutBoxDlg::showEvent(QShowEvent *e)
{
    // Centred on the screen, as the box was designed.
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    ModalForm::showEvent(e);
}
