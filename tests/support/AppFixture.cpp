#include "AppFixture.h"

#include "AppMain.h"
#include "CardAcc.h"
#include "Forms.h"
#include "InputLba.h"
#include "InstanceLock.h"
#include "ShellOpen.h"
#include "UnitState.h"
#include "scsiio.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>

namespace tvqtest {

void EnsureApplication()
{
    if (QApplication::instance())
        return;
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "tvq_test";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the process
    QApplication::setQuitOnLastWindowClosed(false);
}

void ProcessEvents(int times)
{
    for (int i = 0; i < times; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ResetGlobalState()
{
    std::memset(SlotTable, 0, sizeof SlotTable);
    std::memset(&UnitInfo, 0, sizeof UnitInfo);
    std::memset(&DeviceOps, 0, sizeof DeviceOps);
    std::memset(&SlotStatusBlock, 0, sizeof SlotStatusBlock);
    DeviceCount = 0;
    ModelKind = 0;
    TrueIdeMode = 0;
    VdAtEnd = 0;
    VdIndex = 0;
    MasterSlotIndex = 0;
    StartupResult = 0;
    UnitConnected = false;
    delete[] TransferBuffer;
    TransferBuffer = nullptr;
    LibVersion[0] = LibVersion[1] = 0;
    SlotPresenceMask = 0;
    VdTargetSlot = 0;
    AllSlotsMask = 0;
    MenusBuilt = false;
    OpenLampIndex = 0;
    OpenSlotIndex = 0;
    TransferActive = false;
    for (auto &p : AccessParams)
        p = TCardAcc_ParamBlock();
    AccessOp = 0;
    SaveAsAccepted = false;
    AbortRequested = false;
    CardEventAbort = false;
    ResetMainWindowState();
}

void AppFixture::SetUp()
{
    EnsureApplication();
    guard_.Arm();
    savedCwd_ = QDir::currentPath();
    temp_ = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(temp_->isValid());
    const QString settings = temp_->filePath(QStringLiteral("settings"));
    const QString runtime = temp_->filePath(QStringLiteral("runtime"));
    QDir().mkpath(settings);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings);
    SetRuntimeDirOverride(runtime);

    bus_ = std::make_unique<VirtualBus>();
    ResetGlobalState();
    ClearMsgBoxLog();
    ClearFileDialogLog();
    SetApplicationTitle(QStringLiteral("TVQ-206/210CF Card Utility "));

    SetMsgResponder([this](const MsgBoxCall &call) {
        if (!boxScript_.empty()) {
            BoxAnswer next = std::move(boxScript_.front());
            boxScript_.pop_front();
            return next(call);
        }
        switch (call.buttons) {
        case MsgButtons::Ok: return int(mrOk);
        case MsgButtons::YesNo: return int(mrNo);
        case MsgButtons::AbortRetry: return int(mrAbort);
        }
        return int(mrOk);
    });
    SetFileDialogResponder([this](const FileDialogCall &call) {
        if (fileScript_.empty())
            return QString();
        auto next = std::move(fileScript_.front());
        fileScript_.pop_front();
        return next(call);
    });
    SetShellOpener([this](const QUrl &url) {
        shellOpened.push_back(url);
        return shellOpenResult;
    });

    if (!ScsiLibraryLoaded()) {
        std::string why;
        ASSERT_TRUE(LoadScsiLibrary(&why)) << why;
    }
}

void AppFixture::TearDown()
{
    guard_.Release();
    // Close as the user would, so the window's close handler releases the unit.
    if (AppMainForm)
        AppMainForm->close();
    DestroyApplicationForms();
    ProcessEvents();
    QCoreApplication::removePostedEvents(nullptr);
    SetMsgResponder({});
    SetFileDialogResponder({});
    SetShellOpener({});
    SetInstalledDataDirOverride(QString());
    SetRuntimeDirOverride(QString());
    boxScript_.clear();
    fileScript_.clear();
    ResetGlobalState();
    QDir::setCurrent(savedCwd_);
    bus_.reset();
    temp_.reset();
}

bool AppFixture::CreateForms() { return CreateApplicationForms(FormOptions); }

QString AppFixture::TempDir() const { return temp_ ? temp_->path() : QString(); }

void AppFixture::AnswerNextBox(int result)
{
    boxScript_.push_back([result](const MsgBoxCall &) { return result; });
}

void AppFixture::AnswerNextBox(BoxAnswer answer) { boxScript_.push_back(std::move(answer)); }

std::vector<QString> AppFixture::BoxTexts() const
{
    std::vector<QString> texts;
    for (const MsgBoxCall &c : MsgBoxLog())
        texts.push_back(c.text);
    return texts;
}

void AppFixture::AnswerNextFileDialog(const QString &name)
{
    fileScript_.push_back([name](const FileDialogCall &) { return name; });
}

void AppFixture::AnswerNextFileDialog(std::function<QString(const FileDialogCall &)> answer)
{
    fileScript_.push_back(std::move(answer));
}

}  // namespace tvqtest
