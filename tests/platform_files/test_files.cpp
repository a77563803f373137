// Record files and the file dialogs: every error reported, read-only files
// refused even to a privileged user, the dialogs' checks and their cancelling.
#include "FileDialogs.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "RecordFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <cstring>
#include <deque>
#include <vector>

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

QByteArray Bytes(int n, char seed)
{
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>(seed + i * 7);
    return b;
}

QString Make(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

QByteArray Content(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

TEST(RecordFileTest, RecordsRoundTrip)
{
    QTemporaryDir dir;
    const QString path = Make(dir, QStringLiteral("r.bin"), Bytes(1000, 1));
    const QByteArray data = Bytes(3 * 512, 9);

    RecordFile f;
    ASSERT_TRUE(f.Create(path, 512));
    EXPECT_EQ(QFile(path).size(), 0);  // truncated
    EXPECT_EQ(f.Write(data.constData(), 3), 3u);
    EXPECT_EQ(f.Close(), 0);
    EXPECT_EQ(Content(path), data);

    ASSERT_TRUE(f.OpenExisting(path, 512));
    std::vector<char> buf(5 * 512);
    EXPECT_EQ(f.Read(buf.data(), 2), 2u);
    EXPECT_EQ(QByteArray(buf.data(), 1024), data.left(1024));
    EXPECT_EQ(f.Read(buf.data(), 5), 1u);  // only one left
    EXPECT_EQ(f.LastError(), 0);
    EXPECT_EQ(f.Read(buf.data(), 1), 0u);  // end of file is no error
    EXPECT_EQ(f.LastError(), 0);
    ASSERT_TRUE(f.Seek(1));
    EXPECT_EQ(f.Read(buf.data(), 1), 1u);
    EXPECT_EQ(QByteArray(buf.data(), 512), data.mid(512, 512));
    EXPECT_EQ(f.Close(), 0);

    // Byte records, a seek to a byte, and a write that extends the file.
    ASSERT_TRUE(f.OpenExisting(path, 1));
    ASSERT_TRUE(f.Seek(700));
    EXPECT_EQ(f.Read(buf.data(), 10), 10u);
    EXPECT_EQ(QByteArray(buf.data(), 10), data.mid(700, 10));
    ASSERT_TRUE(f.Seek(1536));
    EXPECT_EQ(f.Write("xyz", 3), 3u);
    EXPECT_EQ(f.Close(), 0);
    EXPECT_EQ(Content(path), data + "xyz");

    // A record cut short by the end of the file is not counted and not skipped.
    ASSERT_TRUE(f.OpenExisting(path, 512));
    ASSERT_TRUE(f.Seek(2));
    EXPECT_EQ(f.Read(buf.data(), 2), 1u);
    EXPECT_EQ(f.Read(buf.data(), 1), 0u);
    f.Close();
}

TEST(RecordFileTest, EveryErrorIsReported)
{
    QTemporaryDir dir;
    RecordFile f;
    EXPECT_FALSE(f.OpenExisting(dir.filePath(QStringLiteral("none.bin")), 512));
    EXPECT_EQ(f.LastError(), ENOENT);
    EXPECT_FALSE(f.Create(dir.filePath(QStringLiteral("no/dir.bin")), 512));
    EXPECT_NE(f.LastError(), 0);
    EXPECT_FALSE(f.Create(dir.path(), 512));  // a directory
    EXPECT_FALSE(f.OpenExisting(dir.path(), 1));
    EXPECT_FALSE(f.Create(QString(), 1));
    // A pipe: refused without blocking in open for a peer.
    const QString pipe = dir.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_FALSE(f.OpenExisting(pipe, 1));
    EXPECT_EQ(f.LastError(), ESPIPE);
    EXPECT_FALSE(f.Create(pipe, 512));
    EXPECT_FALSE(f.IsOpen());

    // Read-only: refused for reading and writing, and never truncated.
    const QByteArray kept = Bytes(600, 3);
    const QString ro = Make(dir, QStringLiteral("ro.bin"), kept);
    ASSERT_TRUE(QFile::setPermissions(ro, QFile::ReadOwner | QFile::ReadGroup));
    EXPECT_TRUE(IsReadOnlyFile(ro));
    EXPECT_FALSE(f.OpenExisting(ro, 1));
    EXPECT_EQ(f.LastError(), EACCES);
    EXPECT_FALSE(f.Create(ro, 512));
    EXPECT_EQ(Content(ro), kept);
    EXPECT_FALSE(IsReadOnlyFile(dir.filePath(QStringLiteral("none.bin"))));

    // A full disk: no record written, the error kept.
    ASSERT_TRUE(f.Create(QStringLiteral("/dev/full"), 512));
    const QByteArray block = Bytes(128 * 512, 1);
    EXPECT_EQ(f.Write(block.constData(), 128), 0u);
    EXPECT_EQ(f.LastError(), ENOSPC);
    EXPECT_EQ(f.Close(), 0);

    // Nothing open: every step fails with EBADF.
    char c = 0;
    EXPECT_EQ(f.Close(), EBADF);
    EXPECT_EQ(f.Read(&c, 1), 0u);
    EXPECT_EQ(f.LastError(), EBADF);
    EXPECT_EQ(f.Write(&c, 1), 0u);
    EXPECT_FALSE(f.Seek(0));
    EXPECT_FALSE(f.IsOpen());
}

class FileDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearFileDialogLog();
        ClearMsgBoxLog();
        SetMsgResponder([this](const MsgBoxCall &c) {
            return c.buttons == MsgButtons::YesNo ? (overwrite.empty() ? int(mrNo) : next(overwrite)) : int(mrOk);
        });
        SetFileDialogResponder([this](const FileDialogCall &call) {
            if (onPick)
                onPick(call);
            return picks.empty() ? QString() : next(picks);
        });
    }
    void TearDown() override
    {
        SetMsgResponder({});
        SetFileDialogResponder({});
    }
    template <typename T>
    static T next(std::deque<T> &q)
    {
        T v = q.front();
        q.pop_front();
        return v;
    }
    std::deque<QString> picks;
    std::deque<int> overwrite;
    std::function<void(const FileDialogCall &)> onPick;
    QTemporaryDir dir;
};

TEST_F(FileDialogTest, SaveAsChecks)
{
    TFileDialog d(FileDialogKind::SaveAs);
    d.DefaultExt = QStringLiteral("bin");
    d.Filter = QStringLiteral("All files (*.*)|*.*|Binary files (*.bin)|*.bin");
    d.OverwritePrompt = true;
    d.NoReadOnlyReturn = true;
    const QString existing = Make(dir, QStringLiteral("old.img"), "x");
    const QString ro = Make(dir, QStringLiteral("ro.bin"), "y");
    QFile::setPermissions(ro, QFile::ReadOwner);

    // Extension added to a bare name; a name with its own extension kept.
    picks = {dir.filePath(QStringLiteral("a"))};
    ASSERT_TRUE(d.Execute());
    EXPECT_EQ(d.FileName, dir.filePath(QStringLiteral("a.bin")));
    EXPECT_TRUE(MsgBoxLog().empty());

    // Read-only refused, then No to overwriting, then Yes.
    picks = {ro, existing, existing};
    overwrite = {mrNo, mrYes};
    ASSERT_TRUE(d.Execute());
    EXPECT_EQ(d.FileName, existing);
    ASSERT_EQ(MsgBoxLog().size(), 3u);
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Warning);
    EXPECT_TRUE(MsgBoxLog()[0].text.startsWith(ro));
    EXPECT_EQ(MsgBoxLog()[1].kind, MsgKind::Confirmation);
    EXPECT_EQ(MsgBoxLog()[2].result, mrYes);
    // Each pick was offered the name before it: the dialog stayed open.
    ASSERT_EQ(FileDialogLog().size(), 4u);
    EXPECT_EQ(FileDialogLog()[1].call.initialName, dir.filePath(QStringLiteral("a.bin")));
    EXPECT_EQ(FileDialogLog()[2].call.initialName, ro);
    EXPECT_EQ(FileDialogLog()[3].call.initialName, existing);
    EXPECT_EQ(FileDialogLog()[3].accepted, existing);

    // Cancel keeps the last accepted name.
    ASSERT_FALSE(d.Execute());
    EXPECT_EQ(d.FileName, existing);
    EXPECT_EQ(QtNameFilters(d.Filter), (QStringList{QStringLiteral("All files (*)"), QStringLiteral("Binary files (*.bin)")}));
}

TEST_F(FileDialogTest, OpenNeedsAnExistingFileAndClosingCancels)
{
    TFileDialog d(FileDialogKind::Open);
    d.DefaultExt = QStringLiteral("bin");
    d.FileMustExist = true;
    const QString there = Make(dir, QStringLiteral("there.bin"), "z");
    picks = {dir.filePath(QStringLiteral("missing.bin")), dir.filePath(QStringLiteral("there"))};
    ASSERT_TRUE(d.Execute());
    EXPECT_EQ(d.FileName, there);  // "there" + the default extension
    EXPECT_EQ(MsgBoxLog().size(), 1u);

    // Closing the modal windows while the dialog is open answers it as cancelled.
    onPick = [](const FileDialogCall &) { CloseModalWindows(); };
    picks = {there};
    d.FileName = QStringLiteral("before");
    EXPECT_FALSE(d.Execute());
    EXPECT_EQ(d.FileName, QStringLiteral("before"));
}

TEST_F(FileDialogTest, RealDialogAcceptsAndIsCancelledByCloseModalWindows)
{
    SetFileDialogResponder({});
    TFileDialog d(FileDialogKind::SaveAs);
    d.DefaultExt = QStringLiteral("bin");
    d.Filter = QStringLiteral("All files (*.*)|*.*|Binary files (*.bin)|*.bin");
    d.OverwritePrompt = true;

    QTimer::singleShot(0, [] { CloseModalWindows(); });
    EXPECT_FALSE(d.Execute());

    const QString target = dir.filePath(QStringLiteral("picked"));
    bool found = false;
    QTimer::singleShot(0, [&] {
        auto *fd = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!fd)
            return CloseModalWindows();
        found = true;
        EXPECT_EQ(fd->nameFilters(), (QStringList{QStringLiteral("All files (*)"), QStringLiteral("Binary files (*.bin)")}));
        fd->selectFile(target);
        QMetaObject::invokeMethod(fd, "accept");
    });
    ASSERT_TRUE(d.Execute());
    EXPECT_TRUE(found);
    EXPECT_EQ(d.FileName, target + QStringLiteral(".bin"));
}

// A desktop may start the program anywhere (/, or a folder of the system):
// with no name remembered the dialog opens in the user's home, with one in
// that name's folder, and with one whose folder is gone in the home again.
TEST_F(FileDialogTest, RealDialogOpensInTheHomeOrTheRememberedFolder)
{
    SetFileDialogResponder({});
    QTemporaryDir home, elsewhere;
    const QByteArray oldHome = qgetenv("HOME");
    const QString oldCwd = QDir::currentPath();
    qputenv("HOME", QFile::encodeName(home.path()));
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));

    auto openedIn = [](TFileDialog &d) {
        QString folder = QStringLiteral("(no dialog)");
        QTimer::singleShot(0, [&] {
            auto *fd = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (fd)
                folder = fd->directory().absolutePath();
            CloseModalWindows();
        });
        d.Execute();
        return folder;
    };
    TFileDialog save(FileDialogKind::SaveAs);
    EXPECT_EQ(openedIn(save), QDir(home.path()).absolutePath());
    EXPECT_EQ(FileDialogLog().back().call.folder, QDir(home.path()).absolutePath());
    TFileDialog open(FileDialogKind::Open);
    EXPECT_EQ(openedIn(open), QDir(home.path()).absolutePath());

    save.FileName = dir.filePath(QStringLiteral("last.bin"));
    EXPECT_EQ(openedIn(save), QDir(dir.path()).absolutePath());
    save.FileName = dir.filePath(QStringLiteral("gone/last.bin"));
    EXPECT_EQ(openedIn(save), QDir(home.path()).absolutePath());

    QDir::setCurrent(oldCwd);
    qputenv("HOME", oldHome);
}

}  // namespace
