// Keeps one failing or hanging case of a Qt scenario test from taking the
// rest of the binary with it.
//  - A fatal check that fails while one of the program's dialogs is in its
//    modal loop cancels every open modal loop, so control gets back to the
//    test body instead of waiting in a dialog forever.
//  - A watchdog thread ends a case that runs too long: first it fails the case
//    and cancels the modal loops from the event loop (enough for a dialog that
//    is never closed); a case that still does not return (a loop that never
//    pumps events) ends the process with exit status 124 and its name.
//  - Scope() is a context object for the case's queued steps; Release() drops
//    it and every posted event, so no step of a case that stopped early runs
//    after its locals are gone.
// Arm() at the start of SetUp, Release() first thing in TearDown.
#pragma once

#include <QObject>

#include <memory>

namespace tvqtest {

class Watchdog;

class TestGuard {
public:
    TestGuard();
    ~TestGuard();
    TestGuard(const TestGuard &) = delete;
    TestGuard &operator=(const TestGuard &) = delete;

    void Arm();
    void Release();
    // Lives from Arm() to Release().
    QObject *Scope() const { return scope_.get(); }

    // Seconds a case may run before the watchdog steps in: TVQ_TEST_WATCHDOG
    // when set, else 60 (four times that under the sanitizers).
    static int LimitSeconds();

private:
    std::unique_ptr<QObject> scope_;
    std::unique_ptr<Watchdog> watchdog_;
};

// Cancels the modal loops of the program's dialogs that are running.
void CancelModalLoops();

}  // namespace tvqtest
