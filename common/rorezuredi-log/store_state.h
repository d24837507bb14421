// The store's tree as replaying logs would leave it: batches applied through
// the store's own tree (veltd's), and the walks that print and compare trees.
#ifndef ROREZUREDI_LOG_STORE_STATE_H
#define ROREZUREDI_LOG_STORE_STATE_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/tree.h"
#include "rorezuredi.h"

namespace logtool {

using store_entry = veltd::tree::entry;

class store_state {
public:
    // Applies the batch as replay does, as one request: all or nothing (one
    // larger than the store takes is refused whole).
    // Returns 0 or the store's code; `failed` is then the index of the event
    // that made the request fail. With `consume` the values are moved out of
    // the batch rather than copied.
    int apply(event_batch_t& batch, size_t& failed, bool consume);
    // Applies the batch one event at a time; `on_skip(event index, code)` for
    // every event the store refuses. Returns the number skipped.
    long long apply_each(event_batch_t& batch, const std::function<void(size_t, int)>& on_skip);

    const store_entry& root() const { return *m_tree.find("/"); }
    // The entry at a canonical path, or nullptr.
    const store_entry* find(std::string_view path) const { return m_tree.find(path); }
    int64_t nodes() const { return m_tree.nodes(); }
    int64_t leaves() const { return m_tree.leaves(); }

private:
    int request(api_cmd_t cmd, event_instance_t* events, size_t n, size_t& failed, bool consume);

    veltd::tree m_tree;
    // Reused from request to request.
    std::vector<std::string> m_paths;
    std::vector<veltd::tree::leaf_write> m_items;
    std::vector<int32_t> m_statuses;
    veltd::batch m_events;
};

// The bytes a request of `cmd` takes for its header, and for each event
// (path and value), as the store's client encodes it; a request over
// velt::wire::max_request is refused (code 1) and changes nothing.
std::size_t request_bytes(api_cmd_t cmd);
std::size_t request_bytes(api_cmd_t cmd, const std::string& path, const toolkit::CElement& value);

// A deep copy of an entry and everything under it.
std::unique_ptr<store_entry> clone(const store_entry& e);

// Adds an entry a dump listed to the tree under `root`: a canonical non-root
// path, with any missing ancestor as a node.
void insert_listed(store_entry& root, std::string_view path, bool leaf, const toolkit::CElement& value);

// The entry at a canonical path under `root`, or nullptr.
const store_entry* find_entry(const store_entry& root, std::string_view path);

// Calls `f(path, entry)` for `e` (unless `path` is "/") and every entry under
// it, in dump order: depth first, siblings in byte order of their names.
void walk(const store_entry& e, std::string& path,
          const std::function<void(const std::string&, const store_entry&)>& f);

// One difference between two trees, old and new.
struct change {
    char op = '+';  // '+' added, '-' removed, '~' a leaf's value changed
    bool leaf = false;
    const std::string* path = nullptr;
    const toolkit::CElement* before = nullptr;  // '-' and '~' of a leaf
    const toolkit::CElement* after = nullptr;   // '+' and '~' of a leaf
};

// Compares the entries `a` (old) and `b` (new), either of which may be null,
// both at `path`, and everything under them, calling `f` for each difference
// in dump order (a path whose kind changed is removed first, then added).
// Leaves differ when their type or text does, or, with `times`, their
// timestamp. Returns the number of differences.
long long compare(const store_entry* a, const store_entry* b, std::string& path, bool times,
                  const std::function<void(const change&)>& f);

}  // namespace logtool

#endif
