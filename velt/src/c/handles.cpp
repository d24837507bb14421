// The handles of the C interface: vlt_handle_t values mapped to open
// connections.
#include <mutex>
#include <unordered_map>

#include "c/connection.h"

namespace velt::client {

namespace {

template <class T>
union immortal {
    T value;
    immortal() : value() {}
    ~immortal() {}
};

// Handles stay valid until vlt_close; the registry itself is never destroyed,
// so that a connection held by a static object can still be closed at exit.
struct registry {
    std::mutex mutex;
    std::unordered_map<vlt_handle_t, std::shared_ptr<connection>> map;
    vlt_handle_t next = 1;
};

registry& the_registry() {
    static immortal<registry> r;
    return r.value;
}

}  // namespace

std::shared_ptr<connection> find(vlt_handle_t handle) {
    registry& reg = the_registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.map.find(handle);
    return it == reg.map.end() ? nullptr : it->second;
}

}  // namespace velt::client

using velt::client::connection;

extern "C" vlt_handle_t vlt_init(void) {
    std::shared_ptr<connection> conn = connection::open(velt::wire::socket_path());
    if (!conn) return 0;
    auto& reg = velt::client::the_registry();
    std::lock_guard lock(reg.mutex);
    vlt_handle_t h = reg.next++;
    reg.map.emplace(h, std::move(conn));
    return h;
}

extern "C" void vlt_close(vlt_handle_t handle) {
    std::shared_ptr<connection> conn;
    auto& reg = velt::client::the_registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.map.find(handle);
    if (it == reg.map.end()) return;
    conn = std::move(it->second);
    reg.map.erase(it);
    // Wakes any other thread still waiting on this connection.
    conn->mark_lost();
}

extern "C" int vlt_get_fd(vlt_handle_t handle) {
    auto conn = velt::client::find(handle);
    return conn ? conn->notify_fd() : -1;
}
