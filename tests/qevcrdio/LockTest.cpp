// QevScLock between processes: a target held by another process is refused
// with QEV_E_LOCKED and its holder shows in the drive information; the holder
// releases with the free calls or by ending.
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvqtest;

namespace {

// A second process on the same bus that takes orders through a pipe:
// 'l' scan and lock every target, 'f' QevScFreeEx(2), 'a' QevScFree,
// 'q' end. It answers each order with one byte.
class OtherProcess {
public:
    OtherProcess()
    {
        if (::pipe(orders_) != 0 || ::pipe(answers_) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            char c;
            while (::read(orders_[0], &c, 1) == 1) {
                if (c == 'l') {
                    QevSlotRecord t[QEV_MAX_TARGETS];
                    int n = ScanAll(t);
                    for (int i = 0; i < n; ++i) QevScLock(static_cast<uint32_t>(i));
                } else if (c == 'f') {
                    QevScFreeEx(2);
                } else if (c == 'a') {
                    QevScFree();
                } else if (c == 'q') {
                    ::_exit(0);
                }
                if (::write(answers_[1], &c, 1) != 1) ::_exit(1);
            }
            ::_exit(0);
        }
    }
    ~OtherProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t Pid() const { return pid_; }
    bool Do(char c)
    {
        char a = 0;
        return ::write(orders_[1], &c, 1) == 1 && ::read(answers_[0], &a, 1) == 1 && a == c;
    }
    void End()
    {
        char c = 'q';
        ASSERT_EQ(::write(orders_[1], &c, 1), 1);
        ASSERT_EQ(::waitpid(pid_, nullptr, 0), pid_);
        pid_ = -1;
    }

private:
    int orders_[2] = {-1, -1}, answers_[2] = {-1, -1};
    pid_t pid_ = -1;
};

int HolderOf(uint32_t target)
{
    QevSlotRecord rec;
    std::memset(&rec, 0xEE, sizeof rec);
    int32_t rc = QevScGetDriveInfo(target, &rec);
    if (rc != 0 && rc != QEV_E_NO_MEDIUM) return -1;
    if (rec.Reserved[QEV_HOLDER_FLAG_BYTE] == 0) return 0;
    const uint8_t *p = rec.Reserved + QEV_HOLDER_PID_BYTE;
    return static_cast<int>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

TEST(Lock, AnotherProcessHoldsTheTargetsUntilItFreesOrEnds)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq206, 0x0201);
    bus.InsertBlank("u", 1, 1 << 20);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);

    OtherProcess other;
    ASSERT_GT(other.Pid(), 0);
    ASSERT_TRUE(other.Do('l'));
    for (uint32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(QevScLock(i), QEV_E_LOCKED) << i;
        EXPECT_EQ(HolderOf(i), other.Pid()) << i;
    }
    // A refused lock is no lock: nothing recorded for this process.
    EXPECT_EQ(bus.Bus().Calls().size(), 7u);

    // One target freed: this process takes it, and then holds it itself.
    ASSERT_TRUE(other.Do('f'));
    EXPECT_EQ(HolderOf(2), 0);
    EXPECT_EQ(QevScLock(2), 0);
    EXPECT_EQ(QevScLock(2), 0) << "taking it again is free";
    EXPECT_EQ(HolderOf(2), 0) << "the caller's own lock is no other holder";
    ASSERT_TRUE(other.Do('l'));  // the other process cannot take it back (it ignores the refusal)
    EXPECT_EQ(HolderOf(3), other.Pid());

    // This process frees: the other one gets it.
    EXPECT_NE(QevScFree(), 0);
    ASSERT_TRUE(other.Do('l'));
    EXPECT_EQ(QevScLock(2), QEV_E_LOCKED);

    // QevScFree releases everything of the other process.
    ASSERT_TRUE(other.Do('a'));
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(HolderOf(i), 0) << i;
    ASSERT_TRUE(other.Do('l'));
    EXPECT_EQ(QevScLock(0), QEV_E_LOCKED);

    // The end of the process releases too.
    other.End();
    for (uint32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(HolderOf(i), 0) << i;
        EXPECT_EQ(QevScLock(i), 0) << i;
    }
    EXPECT_NE(QevScFreeEx(0xFF), 0);
}

TEST(Lock, ATargetWithoutALockFileIsNeverRefused)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210, 0x0001);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    // Something that is no file where the lock file would go (root passes any mode bits).
    ASSERT_EQ(::mkdir((bus.Dir() + "/u/target0.lock").c_str(), 0755), 0);
    OtherProcess other;
    ASSERT_TRUE(other.Do('l'));
    EXPECT_EQ(QevScLock(0), 0);
    EXPECT_EQ(HolderOf(0), 0);
    EXPECT_EQ(QevScLock(1), QEV_E_LOCKED);
}
