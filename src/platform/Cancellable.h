// Registry of the modal things now open (message boxes, file dialogs), so that
// closing the modal windows can answer each of them as cancelled.
#pragma once

#include <functional>

class ScopedCancellable {
public:
    // cancel is called at most once, while this guard lives.
    explicit ScopedCancellable(std::function<void()> cancel);
    ~ScopedCancellable();
    ScopedCancellable(const ScopedCancellable &) = delete;
    ScopedCancellable &operator=(const ScopedCancellable &) = delete;

    bool cancelled() const { return cancelled_; }

    // Cancels every open one, the newest (front-most) first.
    static void CancelAll();
    static int OpenCount();

private:
    std::function<void()> cancel_;
    bool cancelled_ = false;
};
