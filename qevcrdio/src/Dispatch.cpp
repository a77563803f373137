#include "Dispatch.h"

#include "Backend.h"
#include "SgBackend.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace qev {

void Tag(const Driver &d, QevSlotRecord *rec)
{
    rec->Reserved[QEV_BACKEND_BYTE] = std::strcmp(d.Name(), "sg") == 0 ? QEV_BACKEND_SG : QEV_BACKEND_BUS;
}

namespace {
Dispatch *g_dispatch = nullptr;
std::mutex g_dispatchMu;
}  // namespace

Dispatch &Dispatch::Get()
{
    Dispatch *d = __atomic_load_n(&g_dispatch, __ATOMIC_ACQUIRE);
    if (d) return *d;
    std::lock_guard<std::mutex> lock(g_dispatchMu);
    if (!g_dispatch) {
        __atomic_store_n(&g_dispatch, new Dispatch, __ATOMIC_RELEASE);
        // Registered before any backend's, so it runs after theirs: at dlclose a
        // library loaded again and again leaks nothing.
        std::atexit([] {
            std::lock_guard<std::mutex> l(g_dispatchMu);
            delete __atomic_exchange_n(&g_dispatch, static_cast<Dispatch *>(nullptr), __ATOMIC_ACQ_REL);
        });
    }
    return *g_dispatch;
}

std::vector<Driver *> Dispatch::Backends()
{
    const char *env = std::getenv("QEVCRDIO_BACKEND");
    std::string which = env ? env : "";
    std::vector<Driver *> out;
    if (which != "bus") out.push_back(&sg::SgBackend::Get());
    if (which != "sg") out.push_back(&Backend::Get());
    return out;
}

int32_t Dispatch::Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<std::pair<Driver *, uint32_t>> found;
    for (Driver *d : Backends()) {
        QevSlotRecord own[QEV_MAX_TARGETS];
        int32_t n = d->Scan(filter, nameFilter, table ? own : nullptr);
        for (int32_t i = 0; i < n && found.size() < QEV_MAX_TARGETS; ++i) {
            if (table) {
                table[found.size()] = own[i];
                table[found.size()].DriveLetter = DriveLetterOf(static_cast<uint32_t>(found.size()));
                Tag(*d, &table[found.size()]);
            }
            found.emplace_back(d, static_cast<uint32_t>(i));
        }
    }
    if (table)
        for (size_t i = found.size(); i < QEV_MAX_TARGETS; ++i) std::memset(&table[i], 0, sizeof table[i]);
    map_ = found;
    return static_cast<int32_t>(found.size());
}

Driver *Dispatch::Route(uint32_t target, uint32_t *local)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (target >= map_.size()) return nullptr;
    *local = map_[target].second;
    return map_[target].first;
}

int32_t Dispatch::Free()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    int32_t ok = 1;
    for (Driver *d : Backends())
        if (!d->Free()) ok = 0;
    return ok;
}

int32_t Dispatch::FreeEx(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (target == 0xFF) {
        int32_t ok = 1;
        for (Driver *d : Backends())
            if (!d->FreeEx(0xFF)) ok = 0;
        return ok;
    }
    uint32_t local = 0;
    Driver *d = Route(target, &local);
    return d ? d->FreeEx(local) : 0;
}

}  // namespace qev
