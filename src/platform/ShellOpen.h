// The shell's "open" of a document, over QDesktopServices. Tests replace
// the opener so that nothing is launched.
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

using ShellOpener = std::function<bool(const QUrl &)>;
// Pass {} to use QDesktopServices again.
void SetShellOpener(ShellOpener opener);
