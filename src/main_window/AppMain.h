// The main window: start-up and shutdown, the device information panel, the
// reaction to the unit coming and going, the slot status monitor, the
// per-slot menus and the commands. Its members are defined by concern in
// AppMain.cpp, AppMainUnit.cpp and AppMainSlots.cpp. GUI thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <vector>

namespace Ui {
class TAppMainForm;
}
class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QTimer;
class QToolButton;
class TShape;

// Per-slot menu items, index = slot number (0 = VD); built once per run.
extern QAction *OpenMenuItems[11];
extern QAction *EjectMenuItems[11];
// Current directory when the main window was created; the help file is looked up there.
extern QString StartupDir;

constexpr const char *kMainCaption = "TVQ-206/210CF Card Utility Limit Edition";
constexpr const char *kHelpFileName = "TVQCRDUT.chm";

class TAppMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TAppMainForm(QWidget *parent = nullptr);
    ~TAppMainForm() override;

    // Controls, named as in the form.
    QMenuBar *MainMenu1;
    QGroupBox *gbxUnitInfo;
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5;
    QLabel *lblProductName, *lblProductCode, *lblBiosVer, *lblAppVer, *lblCardIfMode;
    QGroupBox *pnlSocketInfo;
    QLabel *lblMasterSlot;
    QLabel *lblNoInfo;
    QPushButton *btnAppClose, *btnAppHelp;
    QMenu *mniCard, *mniOpen, *mniEject, *mniHelp;
    QAction *mniView, *mniExit, *mniContents, *mniAbout;
    QMenu *PopupMenu1;
    QAction *mniPopEject;
    QAction *Action1, *Action2, *FileExit1;
    QTimer *Timer1;
    // The slot button the popup menu was last opened on.
    QObject *PopupComponent = nullptr;

    // Start-up and shutdown.
    void FormCreate();
    int32_t InitMainFormConfig();
    void FormClose();
    // Releases what FormClose releases, when the window never closed (a
    // refused unit ends the program before the message loop).
    void FormDestroy();

    // Device information and arrival/removal.
    bool ScanDevice();
    int32_t DispDeviceInfo();
    static QString FormatProductName(const char (&name)[16]);
    static QString FormatVersion(uint32_t version);
    void WMDeviceChange(uintptr_t event);

    // Slot status monitor.
    void Timer1Timer();
    bool UpdateSlotStatus(uint32_t &mask, uint32_t &target);
    bool DispSlotStatus();
    void WMSlotChanged(uintptr_t wParam, intptr_t lParam);
    bool SetSlotLayout(uint32_t modelKind);

    // Menus and commands.
    bool CreateOpenMenuItems(uint32_t modelKind);
    bool CreateEjectMenuItems(uint32_t modelKind);
    void Action1Execute(QObject *sender);
    void Action2Execute(QObject *sender);
    void mniViewClick();
    void mniAboutClick();
    void btnAppHelpClick();

protected:
    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void sbtSlotClick(int n);
    void sbtSlotContextPopup(int n, const QPoint &pos);
    bool CreateSlotMenuItems(uint32_t modelKind, bool eject);
    void SetLamp(uint32_t n, uint32_t color);
    void BuildSlotMenusOnce();
    void ShowVdGone();
    void ShowVdPresent(uint32_t lampColour);
    void SetSlotControls(uint32_t n, bool on);
    bool TellSlotChange(uint32_t n, bool present, intptr_t vdTarget);
    bool ShowSlotEmptied(uint32_t n, intptr_t vdTarget);
    void SetButtonEnabled(uint32_t n, bool enabled);
    void ResetDesignTexts();
    void ReleaseUnitAndBuffer();

    Ui::TAppMainForm *ui;
    bool closed_ = false;
    // Device notices that came before the start-up ended (the information box
    // is open then), in order; they are handled once it has ended.
    bool startupDone_ = false;
    std::vector<uintptr_t> heldNotices_;
};

// Slot name of the card access dialog's caption: "VD", "SLOT#3", "MASTER SLOT", or empty.
QString SlotCaptionName(uint32_t slot);
// "SLOT#3 （F: ドライブ）"
QString CardAccessCaption(uint32_t slot, uint32_t entry);
// The information box shown at the end of start-up.
QString LimitNoticeText();

// Clears the state owned by the main window (menu items, start-up directory).
void ResetMainWindowState();
