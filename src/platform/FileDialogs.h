// The common Open and Save As dialogs over QFileDialog. The checks the
// system's dialogs make (default extension, file must exist, overwrite
// question, read-only refusal) are made here, so that a test responder that
// stands in for the user's pick goes through them too.
#pragma once

#include <QString>
#include <functional>
#include <vector>

class QWidget;

enum class FileDialogKind { Open, SaveAs };

struct FileDialogCall {
    FileDialogKind kind;
    QString title;
    QString filter;        // "Name (pattern)|pattern|..." as the system writes it
    int filterIndex = 1;   // 1-based
    QString defaultExt;
    QString initialName;   // the name it starts on: StartName, else the name last accepted in it
    QString folder;        // where the dialog opens: initialName's folder, else the user's home
};

// The folder a dialog offering initialName opens in: that name's folder when
// it exists, else the user's home (never the program's current directory,
// which a desktop may have set anywhere).
QString DialogStartFolder(const QString &initialName);

class TFileDialog {
public:
    explicit TFileDialog(FileDialogKind kind) : Kind(kind) {}

    FileDialogKind Kind;
    QString Title;
    QString DefaultExt;      // without the dot
    QString Filter;          // "All files (*.*)|*.*|Binary files (*.bin)|*.bin"
    int FilterIndex = 1;
    bool FileMustExist = false;
    bool OverwritePrompt = false;
    bool NoReadOnlyReturn = false;
    QString FileName;        // the accepted name; offered again next time
    // The name to start on instead (the one in the caller's field). The
    // dialog opens in its folder; with neither name, in the user's home.
    QString StartName;

    // Runs the dialog; true when a name was accepted (then in FileName).
    // False when cancelled, also by closing the modal windows.
    bool Execute(QWidget *parent = nullptr);
};

// "A (*.a)|*.a|B|*.b" as a Qt name filter list; "*.*" matches every name.
QStringList QtNameFilters(const QString &systemFilter);

// A responder plays the user's pick: it returns the chosen name, or an empty
// string to cancel. It is asked again when the pick is refused (a missing
// file for Open, No to the overwrite question, a read-only file). Pass {} to
// use the real dialog.
using FileDialogResponder = std::function<QString(const FileDialogCall &)>;
void SetFileDialogResponder(FileDialogResponder responder);

// Every dialog shown since the last ClearFileDialogLog, with the name accepted
// (empty when cancelled).
struct FileDialogLogEntry {
    FileDialogCall call;
    QString accepted;
};
const std::vector<FileDialogLogEntry> &FileDialogLog();
void ClearFileDialogLog();
