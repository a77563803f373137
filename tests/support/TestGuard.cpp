#include "TestGuard.h"

#include "ModalForm.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace tvqtest {

namespace {

bool AnyModalLoop()
{
    for (QWidget *w : FormList())
        if (auto *f = qobject_cast<ModalForm *>(w); f && f->InModalLoop())
            return true;
    return false;
}

// A failed ASSERT returns from the lambda that runs inside a dialog; the
// dialog would then wait for a result nobody sets.
class CancelOnFatalFailure : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &result) override
    {
        if (result.fatally_failed() && QCoreApplication::instance() && AnyModalLoop())
            CancelModalLoops();
    }
};

void InstallListenerOnce()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    ::testing::UnitTest::GetInstance()->listeners().Append(new CancelOnFatalFailure);
}

std::string CurrentTestName()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("a test");
}

}  // namespace

void CancelModalLoops()
{
    const std::vector<QWidget *> snapshot = FormList();
    for (QWidget *w : snapshot)
        if (auto *f = qobject_cast<ModalForm *>(w); f && f->InModalLoop())
            f->SetModalResult(mrCancel);
    CloseModalWindows();
}

class Watchdog {
public:
    Watchdog(int seconds, std::string name) : name_(std::move(name))
    {
        thread_ = std::thread([this, seconds] { Run(seconds); });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    void Run(int seconds)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; }))
            return;
        // Soft: fail the case from its own thread and let its dialogs go.
        const std::string name = name_;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [name, seconds] {
                ADD_FAILURE() << name << " still ran after " << seconds << " s: stopped by the test watchdog";
                CancelModalLoops();
            },
            Qt::QueuedConnection);
        if (cv_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; }))
            return;
        // Hard: the case never gets back to the event loop.
        std::fprintf(stderr, "\n%s still ran after %d s and did not return: test binary stopped by the watchdog\n",
                     name_.c_str(), seconds + 10);
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(124);
    }

    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

TestGuard::TestGuard() = default;
TestGuard::~TestGuard() { Release(); }

int TestGuard::LimitSeconds()
{
    if (const char *env = std::getenv("TVQ_TEST_WATCHDOG")) {
        const int s = std::atoi(env);
        if (s > 0)
            return s;
    }
#if defined(__SANITIZE_ADDRESS__)
    return 240;
#else
    return 60;
#endif
}

void TestGuard::Arm()
{
    InstallListenerOnce();
    scope_ = std::make_unique<QObject>();
    watchdog_ = std::make_unique<Watchdog>(LimitSeconds(), CurrentTestName());
}

void TestGuard::Release()
{
    watchdog_.reset();
    scope_.reset();
    if (QCoreApplication::instance()) {
        // Steps queued by a case that stopped early refer to its locals.
        QCoreApplication::removePostedEvents(nullptr);
        if (AnyModalLoop())
            CancelModalLoops();
    }
}

}  // namespace tvqtest
