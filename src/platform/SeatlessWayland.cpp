#include "SeatlessWayland.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace {
// The few entry points of the Wayland client library used here, by name.
struct wl_display;
struct wl_proxy;
struct wl_interface;

struct RegistryListener {
    void (*global)(void *data, wl_proxy *registry, uint32_t name, const char *interface, uint32_t version);
    void (*global_remove)(void *data, wl_proxy *registry, uint32_t name);
};

void onGlobal(void *data, wl_proxy *, uint32_t, const char *interface, uint32_t)
{
    if (interface && std::strcmp(interface, "wl_seat") == 0)
        *static_cast<bool *>(data) = true;
}
void onGlobalRemove(void *, wl_proxy *, uint32_t) {}

bool platformMayBeWayland()
{
    const char *p = std::getenv("QT_QPA_PLATFORM");
    if (p && *p)
        return std::strncmp(p, "wayland", 7) == 0 || std::strstr(p, ";wayland") != nullptr;
    const char *session = std::getenv("XDG_SESSION_TYPE");
    return std::getenv("WAYLAND_DISPLAY") || (session && std::strcmp(session, "wayland") == 0);
}
} // namespace

bool WaylandWithoutSeat()
{
    if (!platformMayBeWayland())
        return false;
    void *lib = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return false;  // then Qt cannot use Wayland either
    auto connect = reinterpret_cast<wl_display *(*)(const char *)>(dlsym(lib, "wl_display_connect"));
    auto disconnect = reinterpret_cast<void (*)(wl_display *)>(dlsym(lib, "wl_display_disconnect"));
    auto roundtrip = reinterpret_cast<int (*)(wl_display *)>(dlsym(lib, "wl_display_roundtrip"));
    auto marshalConstructor = reinterpret_cast<wl_proxy *(*)(wl_proxy *, uint32_t, const wl_interface *, ...)>(
        dlsym(lib, "wl_proxy_marshal_constructor"));
    auto addListener = reinterpret_cast<int (*)(wl_proxy *, void (**)(void), void *)>(
        dlsym(lib, "wl_proxy_add_listener"));
    auto destroy = reinterpret_cast<void (*)(wl_proxy *)>(dlsym(lib, "wl_proxy_destroy"));
    auto registryInterface = static_cast<const wl_interface *>(dlsym(lib, "wl_registry_interface"));
    bool seatless = false;
    if (connect && disconnect && roundtrip && marshalConstructor && addListener && destroy && registryInterface) {
        if (wl_display *display = connect(nullptr)) {
            // wl_display.get_registry is request 1 of wl_display.
            wl_proxy *registry =
                marshalConstructor(reinterpret_cast<wl_proxy *>(display), 1, registryInterface, nullptr);
            bool seat = false;
            static const RegistryListener listener{onGlobal, onGlobalRemove};
            if (registry && addListener(registry, reinterpret_cast<void (**)(void)>(const_cast<RegistryListener *>(&listener)),
                                        &seat) == 0 &&
                roundtrip(display) >= 0)
                seatless = !seat;
            if (registry)
                destroy(registry);
            disconnect(display);
        }
    }
    dlclose(lib);
    return seatless;
}

bool AvoidSeatlessInputMethod()
{
    const char *im = std::getenv("QT_IM_MODULE");
    if (im && *im)
        return false;
    if (!WaylandWithoutSeat())
        return false;
    setenv("QT_IM_MODULE", "none", 1);
    return true;
}
