#include "ShellOpen.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {
ShellOpener g_opener;
QString g_dataDirOverride;
}

QString InstalledDataDir()
{
    if (!g_dataDirOverride.isEmpty())
        return g_dataDirOverride;
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tvqcrdut"));
}

void SetInstalledDataDirOverride(const QString &dir) { g_dataDirOverride = dir; }

QString LocateDocument(const QString &name)
{
    if (QFileInfo(name).isFile())
        return name;
    return InstalledDataDir() + QLatin1Char('/') + name;
}

void SetShellOpener(ShellOpener opener) { g_opener = std::move(opener); }

bool DesktopHasViewerFor(const QString &path)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (tool.isEmpty())
        return true;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    QStringList names{type.name()};
    names += type.aliases();
    for (const QString &name : names) {
        QProcess query;
        query.start(tool, {QStringLiteral("query"), QStringLiteral("default"), name});
        if (!query.waitForStarted(3000))
            return true;
        if (!query.waitForFinished(5000)) {
            query.kill();
            query.waitForFinished(1000);
            return true;
        }
        if (query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
            !query.readAllStandardOutput().trimmed().isEmpty())
            return true;
    }
    return false;
}

bool ShellOpenDocument(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    const QUrl url = QUrl::fromLocalFile(info.absoluteFilePath());
    if (g_opener)
        return g_opener(url);
    // xdg-open starts in the background and reports success even when no
    // application takes the file, so the operator would wait for a help
    // that never comes instead of reading why.
    if (!DesktopHasViewerFor(info.absoluteFilePath()))
        return false;
    return QDesktopServices::openUrl(url);
}
