// The store's tree and the four change requests, applied all or nothing.
#ifndef VELTD_TREE_H
#define VELTD_TREE_H

#include <velt++.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace veltd {

// Deepest path the store holds, in components. Bounds the recursion of tree
// walks and the size of the ancestor events one path can cause.
inline constexpr size_t max_depth = 4096;
// Largest encoded batch one request may produce (its own paths and values,
// plus the ancestor nodes it creates).
inline constexpr size_t max_batch = size_t(192) << 20;

// The events of one request, encoded for the wire: a u32 count then the
// events; `offsets` holds where each event starts.
struct batch {
    std::string data;
    std::vector<uint32_t> offsets;
    size_t count() const { return offsets.size(); }
    // Path of event i (a view into data).
    std::string_view path(size_t i) const;
};

class tree {
public:
    struct entry;
    using children_t = std::map<std::string, std::unique_ptr<entry>, std::less<>>;
    struct entry {
        bool leaf = false;
        toolkit::CElement value;  // leaves only
        children_t children;      // nodes only
    };

    // One set_leaves item, already decoded.
    struct leaf_write {
        std::string path;  // canonical
        toolkit::CElement value;
    };

    tree();
    ~tree();
    tree(const tree&) = delete;
    tree& operator=(const tree&) = delete;

    int64_t nodes() const { return m_nodes; }
    int64_t leaves() const { return m_leaves; }

    // Each takes canonical, valid, non-root paths and returns 0 or a code,
    // setting the status of the item that failed. On success `out` holds the
    // events (possibly none); on failure the tree is as it was before.
    // Node and clear events carry a none value stamped `now`.
    int add_nodes(const std::vector<std::string>& paths, const timeval& now, std::vector<int32_t>& statuses,
                  batch& out);
    int remove_nodes(const std::vector<std::string>& paths, const timeval& now,
                     std::vector<int32_t>& statuses, batch& out);
    int clear_leaves(const std::vector<std::string>& paths, const timeval& now,
                     std::vector<int32_t>& statuses, batch& out);
    // Values must be valid and already stamped (see stamp_value).
    int set_leaves(std::vector<leaf_write>& items, const timeval& now, std::vector<int32_t>& statuses,
                   batch& out);

    // The entry at a canonical path, or nullptr.
    const entry* find(std::string_view path) const;

    // Appends to `out` the dump entries at or under `path` (a canonical path
    // of an existing entry) in depth-first order, siblings in byte order,
    // starting after `after` when it is not empty. Stops once `out` has
    // grown past `limit` bytes; returns true when entries may remain, with
    // the path of the last entry written in `last` (where the next page
    // resumes; it may be `after` itself).
    // Each entry: u8 is_leaf, str path, and the value for leaves.
    bool dump(std::string_view path, std::string_view after, std::string& out, uint32_t& count, size_t limit,
              std::string& last) const;

private:
    struct undo;
    class transaction;

    // remove_nodes (leaves false) and clear_leaves (leaves true): entries of
    // the other kind are a conflict, missing ones are skipped.
    int detach_all(const std::vector<std::string>& paths, bool leaves, const timeval& now,
                   std::vector<int32_t>& statuses, batch& out);

    entry m_root;
    int64_t m_nodes = 0;
    int64_t m_leaves = 0;
    std::vector<undo> m_undo;  // the open request's steps, kept for its storage
};

}  // namespace veltd

#endif
