#include "live_store.h"

#include <algorithm>
#include <cstdlib>

#include "ctl/format.h"

namespace logtool {

bool connect_store(toolkit::CVelt& api) {
    api.handle = vlt_init();
    if (api.is_initialized()) return true;
    const char* socket = std::getenv("VELT_SOCKET");
    std::fprintf(stderr, "rorezuredi-log: no store answers at %s\n",
                 socket != nullptr && *socket != '\0' ? socket : "/tmp/velt.sock");
    return false;
}

namespace {

bool covers(const std::string& a, const std::string& b) {
    return a == "/" || b == a ||
           (b.size() > a.size() && b.compare(0, a.size(), a) == 0 && b[a.size()] == '/');
}

// Dump order: component by component, each in byte order.
bool dump_before(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    if (i == a.size() || i == b.size()) return a.size() < b.size();
    if (a[i] == '/') return true;
    if (b[i] == '/') return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
}

}  // namespace

std::vector<std::string> subtree_paths(std::vector<std::string> given) {
    if (given.empty()) given.emplace_back("/");
    std::sort(given.begin(), given.end(), dump_before);
    std::vector<std::string> kept;
    for (std::string& p : given)
        if (kept.empty() || !covers(kept.back(), p)) kept.push_back(std::move(p));
    return kept;
}

int dump_subtrees(vlt_handle_t handle, const std::vector<std::string>& paths, bool missing_ok,
                  std::vector<velt::admin::dump_entry>& out) {
    const int rc = velt::admin::dump(handle, paths, missing_ok, out);
    if (rc == 0) return 0;
    if (rc == VLT_ENOENT) {
        // Which one is missing: each path alone.
        std::vector<velt::admin::dump_entry> one;
        for (const std::string& p : paths)
            if (velt::admin::dump(handle, p, one) == VLT_ENOENT)
                std::fprintf(stderr, "rorezuredi-log: the store refused to dump %s: no such path\n",
                             velt::ctl::escaped(p).c_str());
    } else {
        std::fprintf(stderr, "rorezuredi-log: the store refused to dump: %s\n",
                     velt::ctl::describe_code(rc).c_str());
    }
    return rc;
}

}  // namespace logtool
