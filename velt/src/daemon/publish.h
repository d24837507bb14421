// Subscriptions: the paths a client watches.
#ifndef VELTD_PUBLISH_H
#define VELTD_PUBLISH_H

#include <string>
#include <string_view>
#include <vector>

#include "daemon/output.h"

namespace veltd {

// True when the subscription path `sub` covers `path`: it is `path` or one
// of its ancestors, component by component.
bool covers(std::string_view sub, std::string_view path);

struct subscription {
    std::vector<std::string> paths;

    bool active() const { return !paths.empty(); }
    // Adds a canonical path (once).
    void add(std::string path);
    // The events of a published batch (`full`, events starting at
    // `offsets`) that this subscriber sees, as a batch of their own; null
    // when it sees none.
    shared_text select(const shared_text& full, const std::vector<uint32_t>& offsets) const;
};

}  // namespace veltd

#endif
