#include "AppForms.h"

#include "AboutBox.h"
#include "AppIcon.h"
#include "AppMain.h"
#include "CardAcc.h"
#include "CardInfo.h"
#include "DeviceNotices.h"
#include "Forms.h"
#include "InputLba.h"
#include "MessagePort.h"
#include "UnitState.h"

#include <QApplication>

bool CreateApplicationForms(const AppFormsOptions &options)
{
    // Every window carries the menu entry's icon; a Wayland desktop finds the
    // entry (and so the icon and name) by this name.
    QApplication::setWindowIcon(AppIcon());
    QGuiApplication::setDesktopFileName(AppIconName());
    AppMainForm = new TAppMainForm;
    AppMainWidget = AppMainForm;
    // Watch the bus before the first scan: a unit that comes or goes from
    // then on is noticed, even while the start-up information box is open.
    if (options.deviceNotices)
        new DeviceNotices(AppMainForm, QString(), AppMainForm);
    AppMainForm->FormCreate();
    if (StartupResult != 0)
        return false;

    CardAccDlg = new TCardAccDlg;
    CardAccWidget = CardAccDlg;
    AboutBoxDlg = new TAboutBoxDlg;
    InputLbaDlg = new TInputLbaDlg;
    CardInfoDlg = new TCardInfoDlg;
    CardInfoWidget = CardInfoDlg;

    if (options.messagePort) {
        auto *port = new MessagePort(AppMainForm, AppMainForm);
        port->setObjectName(QStringLiteral("MessagePort"));
        port->Listen();
    }
    return true;
}

void DestroyApplicationForms()
{
    delete CardInfoDlg;
    CardInfoDlg = nullptr;
    CardInfoWidget = nullptr;
    delete InputLbaDlg;
    InputLbaDlg = nullptr;
    delete AboutBoxDlg;
    AboutBoxDlg = nullptr;
    delete CardAccDlg;
    CardAccDlg = nullptr;
    CardAccWidget = nullptr;
    if (AppMainForm) {
        AppMainForm->FormDestroy();
        delete AppMainForm;
    }
    AppMainForm = nullptr;
    AppMainWidget = nullptr;
}
