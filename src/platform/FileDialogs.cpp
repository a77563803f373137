#include "FileDialogs.h"

#include "Cancellable.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "RecordFile.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

namespace {
FileDialogResponder g_responder;
std::vector<FileDialogLogEntry> g_log;

bool fileExists(const QString &name)
{
    const QFileInfo fi(name);
    return fi.exists() && !fi.isDir();
}

// The pick of the real dialog, or of the responder; empty when cancelled.
QString pick(const FileDialogCall &call, const TFileDialog &d, QWidget *parent)
{
    if (g_responder) {
        ScopedCancellable open(nullptr);
        FileDialogResponder responder = g_responder;  // it may replace itself
        QString name = responder(call);
        return open.cancelled() ? QString() : name;
    }

    QFileDialog dlg(parent ? parent->window() : OwnerWindow(), call.title);
    dlg.setAcceptMode(call.kind == FileDialogKind::SaveAs ? QFileDialog::AcceptSave
                                                          : QFileDialog::AcceptOpen);
    dlg.setFileMode(d.FileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // The questions are asked below, the same way for every pick.
    dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
    const QStringList filters = QtNameFilters(call.filter);
    dlg.setNameFilters(filters);
    if (call.filterIndex >= 1 && call.filterIndex <= filters.size())
        dlg.selectNameFilter(filters.at(call.filterIndex - 1));
    dlg.setDefaultSuffix(call.defaultExt);
    dlg.setDirectory(call.folder);
    if (!call.initialName.isEmpty())
        dlg.selectFile(QFileInfo(call.initialName).fileName());
    QPointer<QFileDialog> guard(&dlg);
    ScopedCancellable open([guard] {
        if (guard)
            guard->reject();
    });
    const int r = dlg.exec();
    if (open.cancelled() || r != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().constFirst();
}
} // namespace

QStringList QtNameFilters(const QString &systemFilter)
{
    QStringList out;
    const QStringList parts = systemFilter.split(QLatin1Char('|'));
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString &p : patterns) {
            p = p.trimmed();
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");  // a name without a dot is a file too
        }
        QString name = parts.at(i);
        const int paren = name.indexOf(QLatin1Char('('));
        if (paren > 0)
            name = name.left(paren).trimmed();
        out << QStringLiteral("%1 (%2)").arg(name, patterns.join(QLatin1Char(' ')));
    }
    return out;
}

QString DialogStartFolder(const QString &initialName)
{
    if (!initialName.isEmpty()) {
        const QFileInfo fi(initialName);
        if (fi.dir().exists())
            return fi.absolutePath();
    }
    return QDir::homePath();
}

bool TFileDialog::Execute(QWidget *parent)
{
    FileDialogCall call{Kind, Title, Filter, FilterIndex, DefaultExt,
                        StartName.isEmpty() ? FileName : StartName, QString()};
    for (;;) {
        call.folder = DialogStartFolder(call.initialName);
        QString name = pick(call, *this, parent);
        g_log.push_back({call, QString()});
        if (name.isEmpty())
            return false;
        if (!DefaultExt.isEmpty() && QFileInfo(name).suffix().isEmpty() && !name.endsWith(QLatin1Char('/')))
            name += QLatin1Char('.') + DefaultExt;

        // A refused pick leaves the dialog open: ask again, offering that name.
        call.initialName = name;
        if (FileMustExist && !fileExists(name)) {
            const int r = ShowMessageBox(MsgKind::Warning,
                                         name + QStringLiteral("\nファイルが見つかりません。\nファイル名を確認してください。"),
                                         MsgButtons::Ok, parent);
            if (r == mrCancel)
                return false;
            continue;
        }
        if (QFileInfo(name).isDir())
            continue;
        if (NoReadOnlyReturn && fileExists(name) && IsReadOnlyFile(name)) {
            const int r = ShowMessageBox(MsgKind::Warning,
                                         name + QStringLiteral("\nこのファイルは読み取り専用です。\n別の名前を指定してください。"),
                                         MsgButtons::Ok, parent);
            if (r == mrCancel)
                return false;
            continue;
        }
        if (OverwritePrompt && fileExists(name)) {
            const int r = ShowMessageBox(MsgKind::Confirmation,
                                         name + QStringLiteral(" は既に存在します。\n上書きしますか？"),
                                         MsgButtons::YesNo, parent);
            if (r == mrCancel)
                return false;
            if (r != mrYes)
                continue;
        }
        g_log.back().accepted = name;
        FileName = name;
        return true;
    }
}

void SetFileDialogResponder(FileDialogResponder responder) { g_responder = std::move(responder); }
const std::vector<FileDialogLogEntry> &FileDialogLog() { return g_log; }
void ClearFileDialogLog() { g_log.clear(); }
