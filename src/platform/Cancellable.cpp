#include "Cancellable.h"

#include <algorithm>
#include <vector>

namespace {
std::vector<ScopedCancellable *> &openOnes()
{
    static std::vector<ScopedCancellable *> list;
    return list;
}
} // namespace

ScopedCancellable::ScopedCancellable(std::function<void()> cancel) : cancel_(std::move(cancel))
{
    openOnes().push_back(this);
}

ScopedCancellable::~ScopedCancellable()
{
    auto &list = openOnes();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void ScopedCancellable::CancelAll()
{
    // A cancel may end other guards; work on a copy and re-check membership.
    std::vector<ScopedCancellable *> snapshot = openOnes();
    for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
        auto &list = openOnes();
        if (std::find(list.begin(), list.end(), *it) == list.end())
            continue;
        ScopedCancellable *c = *it;
        if (c->cancelled_)
            continue;
        c->cancelled_ = true;
        if (c->cancel_)
            c->cancel_();
    }
}

int ScopedCancellable::OpenCount()
{
    return static_cast<int>(openOnes().size());
}
