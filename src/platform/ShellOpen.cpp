#include "ShellOpen.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
ShellOpener g_opener;
}

void SetShellOpener(ShellOpener opener) { g_opener = std::move(opener); }

bool ShellOpenDocument(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    const QUrl url = QUrl::fromLocalFile(info.absoluteFilePath());
    if (g_opener)
        return g_opener(url);
    return QDesktopServices::openUrl(url);
}
