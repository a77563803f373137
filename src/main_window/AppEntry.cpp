#include "AppEntry.h"

#include "AppMain.h"
#include "Forms.h"
#include "InstanceLock.h"
#include "MsgBox.h"
#include "UnitState.h"
#include "fwdef.h"
#include "scsiio.h"

#include <QApplication>

QString LibraryErrorText()
{
    return QStringLiteral("qevcrdio.dll が正常にロードされませんでした。\n"
                          "アプリケーションをインストールし直すとこの問題は解決する場合があります。");
}

QString StartupFirmwareErrorText()
{
    return QStringLiteral("検出されたユニットのファームウェアは、このプログラムには対応していません。\n"
                          "プログラムを実行する場合は、ファームウェアをバージョン「2.10」以降に更新して下さい。");
}

QString StartupModeErrorText()
{
    return QStringLiteral("検出されたユニットの動作モードは、このプログラムには対応していません。\n"
                          "ユニット本体のディップスイッチの設定を確認して下さい。");
}

int ProgramEntry(const ProgramEntryOptions &options)
{
    InstanceLock instance(QStringLiteral("TvqcrdApp"));
    if (!instance.TryAcquire())
        return 0;  // a copy runs already: end without a word

    const bool loaded = options.libraryPath.isEmpty()
                            ? LoadScsiLibrary()
                            : LoadScsiLibraryFrom(options.libraryPath.toStdString());
    if (!loaded || !ScsiGetVersion()) {
        ShowMessageBox(MsgKind::Error, LibraryErrorText());
        return 1;
    }

    SetApplicationTitle(QStringLiteral("TVQ-206/210CF Card Utility "));

    int rc = 0;
    CreateApplicationForms(options.forms);
    switch (StartupResult) {
    case 0:
        AppMainForm->show();
        rc = options.runLoop ? options.runLoop() : QApplication::exec();
        break;
    case UnitCheckFirmware:
        ShowMessageBox(MsgKind::Error, StartupFirmwareErrorText());
        rc = 1;
        break;
    default:
        ShowMessageBox(MsgKind::Error, StartupModeErrorText());
        rc = 1;
        break;
    }
    DestroyApplicationForms();
    return rc;
}
