// Subscriptions: the paths a client watches and the batches queued for it.
#ifndef VELTD_PUBLISH_H
#define VELTD_PUBLISH_H

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/failpoints.h"
#include "daemon/output.h"

namespace veltd {

// True when the subscription path `sub` covers `path`: it is `path` or one
// of its ancestors, component by component.
bool covers(std::string_view sub, std::string_view path);

struct subscription {
    std::vector<std::string> paths;
    std::deque<shared_text> pending;  // batches not yet taken, oldest first
    size_t pending_bytes = 0;
    failpoint fail;          // events_get failpoint of this subscriber
    bool fail_bell = false;  // a doorbell byte rings for it

    bool active() const { return !paths.empty(); }
    // Adds a canonical path (once).
    void add(std::string path);
    // The events of a published batch (`full`, events starting at
    // `offsets`) that this subscriber sees, as a batch of their own; null
    // when it sees none.
    shared_text select(const shared_text& full, const std::vector<uint32_t>& offsets) const;
    void push(shared_text batch);
    shared_text take();
};

}  // namespace veltd

#endif
