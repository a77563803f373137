// The platform's stand-ins for the system: single-instance lock, device
// notices over the virtual bus, messages from other processes, shell open.
#include "DeviceNotices.h"

#include <QElapsedTimer>
#include "InstanceLock.h"

#include <QDateTime>
#include "MessagePort.h"
#include "ShellOpen.h"
#include "Translations.h"
#include "VirtualBus.h"
#include "WindowMessage.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

void EnsureApp()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "platform_services";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

struct Msg {
    int msg;
    uintptr_t w;
    intptr_t l;
};

class Receiver : public QObject {
public:
    std::vector<Msg> got;
    bool event(QEvent *e) override
    {
        if (e->type() == WindowMessageEvent::Type()) {
            auto *m = static_cast<WindowMessageEvent *>(e);
            got.push_back({m->msg, m->wParam, m->lParam});
            return true;
        }
        return QObject::event(e);
    }
    int Count(uintptr_t code) const
    {
        int n = 0;
        for (const Msg &m : got)
            if (m.msg == WM_DEVICECHANGE && m.w == code)
                ++n;
        return n;
    }
};

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApp();
        ASSERT_TRUE(temp.isValid());
        SetRuntimeDirOverride(temp.path());
    }
    void TearDown() override { SetRuntimeDirOverride(QString()); }
    QTemporaryDir temp;
};

TEST_F(PlatformTest, InstanceLockIsExclusiveAndTakesOverAStaleLock)
{
    InstanceLock a;
    EXPECT_EQ(a.Path(), temp.filePath("TvqcrdApp.lock"));
    ASSERT_TRUE(a.TryAcquire());
    EXPECT_TRUE(a.TryAcquire()) << "holding it already";
    InstanceLock b;
    EXPECT_FALSE(b.TryAcquire());
    EXPECT_FALSE(b.Held());
    a.Release();
    EXPECT_TRUE(b.TryAcquire());
    b.Release();

    // A child takes the lock and dies without releasing it.
    const QString path = temp.filePath("TvqcrdApp.lock");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstanceLock held;
        _exit(held.TryAcquire() ? 0 : 1);  // no destructors: the lock file stays
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(QFile::exists(path)) << "the crashed run left its lock";
    InstanceLock c;
    EXPECT_TRUE(c.TryAcquire());
    c.Release();

    // A run that died before writing its process id left an empty file: a
    // fresh one may be a copy starting now, an old one is a leftover.
    QFile empty(path);
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly | QIODevice::Truncate));
    empty.close();
    InstanceLock d;
    EXPECT_FALSE(d.TryAcquire()) << "a lock file just made";
    ASSERT_TRUE(empty.open(QIODevice::ReadWrite));
    ASSERT_TRUE(empty.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    empty.close();
    EXPECT_TRUE(d.TryAcquire()) << "an empty lock file a minute old";
}

TEST_F(PlatformTest, InstanceLockInAnUnusableDirectoryFails)
{
    QFile blocker(temp.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SetRuntimeDirOverride(temp.filePath("file/below-a-file"));
    InstanceLock a;
    EXPECT_FALSE(a.TryAcquire());
}

TEST_F(PlatformTest, DeviceNoticesReportArrivalAndRemovalOnly)
{
    tvqtest::VirtualBus bus;
    bus.AddUnit("u1", vbus::Model::Tvq210);
    Receiver r;
    DeviceNotices notices(&r, QString::fromStdString(bus.Dir()));
    EXPECT_EQ(notices.Devices().size(), 1);

    // Cards coming and going are not device changes.
    bus.InsertBlank("u1", 1, 1 << 20);
    bus.Pull("u1", 1);
    QTest::qWait(300);
    EXPECT_TRUE(r.got.empty());

    bus.Unplug("u1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(DBT_DEVICEREMOVECOMPLETE) == 1; }, 3000));
    bus.Plug("u1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(DBT_DEVICEARRIVAL) == 1; }, 3000));
    bus.AddForeign("disk", "OTHERVND", "USB DISK", "USB-BRIDGE", 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(DBT_DEVICEARRIVAL) == 2; }, 3000));
    // A device that appears unplugged has not arrived.
    vbus::UnitDesc off;
    off.connected = false;
    bus.AddUnit("u2", off);
    QTest::qWait(300);
    EXPECT_EQ(r.Count(DBT_DEVICEARRIVAL), 2);
    // A device whose folder goes away was removed.
    QDir(QString::fromStdString(bus.Dir()) + "/disk").removeRecursively();
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(DBT_DEVICEREMOVECOMPLETE) == 2; }, 3000));
    for (const Msg &m : r.got) {
        EXPECT_EQ(m.msg, WM_DEVICECHANGE);
        EXPECT_EQ(m.l, 0) << "the notice says nothing about the device";
    }
}

// A real unit's LUNs come and go one by one: one notice for all of them, within a second.
TEST_F(PlatformTest, DeviceNoticesGatherARealUnitsNodes)
{
    tvqtest::VirtualBus bus;
    Receiver r;
    DeviceNotices notices(&r, QString::fromStdString(bus.Dir()));
    QElapsedTimer clock;
    clock.start();
    for (int lun = 0; lun < 11; ++lun) {
        notices.HardwareEvent(QStringLiteral("add"));
        QTest::qWait(20);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(DBT_DEVICEARRIVAL) == 1; }, 3000));
    EXPECT_LT(clock.elapsed(), 1000);
    notices.HardwareEvent(QStringLiteral("change"));
    notices.HardwareEvent(QStringLiteral("bind"));
    QTest::qWait(500);
    EXPECT_EQ(r.got.size(), 1u) << "only nodes added or removed are device changes";
    for (int lun = 0; lun < 11; ++lun)
        notices.HardwareEvent(QStringLiteral("remove"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.Count(DBT_DEVICEREMOVECOMPLETE) == 1; }, 1000));
    QTest::qWait(400);
    EXPECT_EQ(r.Count(DBT_DEVICEREMOVECOMPLETE), 1);
    EXPECT_EQ(r.Count(DBT_DEVICEARRIVAL), 1);
}

TEST_F(PlatformTest, DeviceNoticesWaitForABusThatDoesNotExistYet)
{
    const QString dir = temp.filePath("later/bus");
    Receiver r;
    DeviceNotices notices(&r, dir);
    ASSERT_TRUE(QDir().mkpath(dir + "/u"));
    QTest::qWait(200);
    QFile f(dir + "/u/unit.ini");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[unit]\nmodel = TVQ-210CF\nconnected = 1\n");
    f.close();
    // The watch climbs down as folders appear; a rescan sees the rest.
    QTest::qWait(300);
    notices.Rescan();
    QTest::qWait(50);
    EXPECT_EQ(r.Count(DBT_DEVICEARRIVAL), 1);
}

TEST_F(PlatformTest, MessagePortPostsOnlyWhatTheWindowTakesFromOutside)
{
    Receiver r;
    auto *owned = new MessagePort(&r);
    MessagePort &port = *owned;
    ASSERT_TRUE(port.Listen());
    EXPECT_EQ(port.Path(), MessagePort::DefaultPath());

    // The sender works without the receiver's loop running (the kernel queues it).
    ASSERT_TRUE(SendPortMessage(WM_SLOT_CHANGED, 3, 0x2F));
    ASSERT_TRUE(SendPortMessage(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0));
    ASSERT_TRUE(SendPortMessage(WM_CARD_REMOVED, 1, 0));
    ASSERT_TRUE(SendPortMessage(WM_SLOT_CHANGED, 0xFFFFFFFFu, 0xFFFFFFFFu));
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.got.size() >= 2; }, 3000));
    QTest::qWait(100);
    ASSERT_EQ(r.got.size(), 2u);
    EXPECT_EQ(r.got[0].msg, WM_SLOT_CHANGED);
    EXPECT_EQ(r.got[0].w, 3u);
    EXPECT_EQ(r.got[0].l, 0x2F);
    EXPECT_EQ(r.got[1].w, 0xFFFFFFFFu);
    EXPECT_EQ(static_cast<uint32_t>(r.got[1].l), 0xFFFFFFFFu);

    // Pieces of a message are put together; a trailing piece is dropped.
    QLocalSocket s;
    s.connectToServer(port.Path());
    ASSERT_TRUE(s.waitForConnected(1000));
    const char part1[] = {0x10, char(0x80), 0, 0, 1, 0};
    const char part2[] = {0, 0, 5, 0, 0, 0, 0x10, char(0x80)};
    s.write(part1, sizeof part1);
    s.flush();
    QTest::qWait(50);
    s.write(part2, sizeof part2);
    s.flush();
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.got.size() == 3; }, 3000));
    EXPECT_EQ(r.got[2].w, 1u);
    EXPECT_EQ(r.got[2].l, 5);
    s.disconnectFromServer();
    QTest::qWait(100);
    EXPECT_EQ(r.got.size(), 3u);

    // Nobody listening: the sender reports it.
    delete owned;
    QTest::qWait(50);
    EXPECT_FALSE(SendPortMessage(WM_SLOT_CHANGED, 0, 0, temp.filePath("nobody")));
}

TEST_F(PlatformTest, MessagePortReplacesASocketLeftByACrash)
{
    const QString path = temp.filePath("TvqcrdApp.msg");
    QFile stale(path);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    Receiver r;
    MessagePort port(&r);
    EXPECT_TRUE(port.Listen(path));
    ASSERT_TRUE(SendPortMessage(WM_SLOT_CHANGED, 1, 1, path));
    EXPECT_TRUE(QTest::qWaitFor([&] { return r.got.size() == 1; }, 3000));
}

TEST_F(PlatformTest, ShellOpenChecksTheFileFirst)
{
    std::vector<QUrl> opened;
    SetShellOpener([&](const QUrl &u) {
        opened.push_back(u);
        return true;
    });
    EXPECT_FALSE(ShellOpenDocument(temp.filePath("missing.chm")));
    EXPECT_FALSE(ShellOpenDocument(temp.path())) << "a folder is not a document";
    EXPECT_TRUE(opened.empty());
    QFile f(temp.filePath("TVQCRDUT.chm"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(temp.path());
    EXPECT_TRUE(ShellOpenDocument("TVQCRDUT.chm"));
    QDir::setCurrent(cwd);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(temp.filePath("TVQCRDUT.chm")));
    SetShellOpener([](const QUrl &) { return false; });
    EXPECT_FALSE(ShellOpenDocument(temp.filePath("TVQCRDUT.chm")));
    SetShellOpener({});
}

// The desktop's answer comes from xdg-mime; a stand-in on PATH plays the
// desktop with and without a viewer for the file's type or one of its aliases.
TEST_F(PlatformTest, DesktopViewerIsAskedForTheTypeAndItsAliases)
{
    const QString bin = temp.filePath("bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString asked = temp.filePath("asked");
    const auto fake = [&](const QByteArray &answer) {
        QFile f(bin + "/xdg-mime");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("#!/bin/sh\necho \"$3\" >> '" + asked.toUtf8() + "'\n" + answer + "\n");
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        QFile::remove(asked);
    };
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.toUtf8() + ":/usr/bin:/bin");
    const QString chm = temp.filePath("TVQCRDUT.chm");
    QFile doc(chm);
    ASSERT_TRUE(doc.open(QIODevice::WriteOnly));
    doc.write("ITSF");
    doc.close();
    const auto askedTypes = [&] {
        QFile f(asked);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                           : QStringList();
    };

    fake("echo viewer.desktop");
    EXPECT_TRUE(DesktopHasViewerFor(chm));
    EXPECT_EQ(askedTypes().size(), 1) << "the first answer is enough";

    fake("exit 0");
    EXPECT_FALSE(DesktopHasViewerFor(chm)) << "no application named for any of its types";

    // Viewers register either name of the type (CHM: vnd.ms-htmlhelp, x-chm):
    // an alias counts.
    const QMimeType type = QMimeDatabase().mimeTypeForFile(chm);
    ASSERT_FALSE(type.aliases().isEmpty()) << type.name().toStdString() << " has no alias here";
    fake("[ \"$3\" = '" + type.aliases().last().toUtf8() + "' ] && echo viewer.desktop; exit 0");
    EXPECT_TRUE(DesktopHasViewerFor(chm));
    EXPECT_TRUE(askedTypes().contains(type.name()));

    fake("echo 'xdg-mime: bad' >&2; exit 4");
    EXPECT_FALSE(DesktopHasViewerFor(chm));

    // Without xdg-mime nothing can be told; opening decides.
    QFile::remove(bin + "/xdg-mime");
    qputenv("PATH", bin.toUtf8());
    EXPECT_TRUE(DesktopHasViewerFor(chm));
    qputenv("PATH", oldPath);
}

TEST_F(PlatformTest, JapaneseStandardTextsAreInstalled)
{
    ASSERT_TRUE(InstallJapaneseTranslation(QCoreApplication::instance()));
    const QString cancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
    EXPECT_NE(cancel, QStringLiteral("Cancel"));
}

}  // namespace

#include "Fonts.h"
#include <QFontInfo>
#include <QFontMetrics>

namespace {
TEST(PlatformFonts, JapaneseFallbacksResolveToAnInstalledGothic)
{
    EnsureApp();
    const QFontInfo p(PGothicFont(12));
    const QFontInfo g(GothicFont(12));
    EXPECT_EQ(p.pixelSize(), 12);
    EXPECT_TRUE(p.family().contains("Gothic") || p.family().contains("CJK")) << p.family().toStdString();
    EXPECT_TRUE(g.family().contains("Gothic") || g.family().contains("CJK")) << g.family().toStdString();
    // The drive list's columns need every ASCII character equally wide.
    const QFontMetrics m(GothicFont(12));
    EXPECT_EQ(m.horizontalAdvance("iiiiiiiiii"), m.horizontalAdvance("WWWWWWWWWW")) << g.family().toStdString();
    EXPECT_NE(p.family(), g.family()) << "the list needs the fixed-pitch one";
}
}  // namespace
