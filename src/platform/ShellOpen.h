// The shell's "open" of a document, over QDesktopServices, and where the
// program's installed documents are. Tests replace the opener so that nothing
// is launched, and the data folder so that an installed help is or is not there.
#pragma once

#include <QString>
#include <functional>

class QUrl;

// Opens the file with the desktop's viewer; false when it does not exist,
// when no application of the desktop takes its type, or when the desktop
// cannot open it.
bool ShellOpenDocument(const QString &path);

// Whether the desktop names an application for the file's type (xdg-mime);
// true when that cannot be told, so that opening decides.
bool DesktopHasViewerFor(const QString &path);

// The program's data folder in the install it belongs to: <prefix>/share/tvqcrdut
// beside <prefix>/bin, whatever the prefix. Nothing is ever written there.
QString InstalledDataDir();
// Pass "" to use the program's own folder again.
void SetInstalledDataDirOverride(const QString &dir);

// A document the program looks for by name: name in the current directory
// when it is there, else the copy in InstalledDataDir(); that copy's path
// when neither is there.
QString LocateDocument(const QString &name);

using ShellOpener = std::function<bool(const QUrl &)>;
// Pass {} to use QDesktopServices again.
void SetShellOpener(ShellOpener opener);
