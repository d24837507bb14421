#include "daemon/tree.h"

#include <span>

#include "protocol/codec.h"

namespace veltd {

namespace wire = velt::wire;
using toolkit::CElement;

namespace {

// Splits a canonical non-root path into its components.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> out;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        out.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

void count_subtree(const tree::entry& e, int64_t& nodes, int64_t& leaves) {
    if (e.leaf) {
        ++leaves;
        return;
    }
    ++nodes;
    for (const auto& [name, child] : e.children) count_subtree(*child, nodes, leaves);
}

// Where a path ends in the tree: the parent node of its last component and
// that component's entry (nullptr when missing). `blocked` is set when an
// ancestor is missing or is a leaf.
struct location {
    tree::entry* parent = nullptr;
    tree::children_t::iterator it;
    tree::entry* found = nullptr;
};

}  // namespace

std::string_view batch::path(size_t i) const {
    wire::reader r(std::string_view(data).substr(offsets[i] + 1));
    return r.str();
}

// One step to take back if a request fails part-way.
// One request only creates and replaces entries, or only removes them, so an
// iterator recorded here stays valid until its step is taken back.
struct tree::undo {
    enum kind { created, removed, replaced } what;
    entry* parent;
    children_t::iterator it;      // created, replaced
    children_t::node_type saved;  // removed: the entry with its name
    CElement old;                 // replaced
};

// Applies a request's changes and records them with their events; rolls
// everything back unless committed.
class tree::transaction {
public:
    transaction(tree& t, batch& out, const timeval& now)
        : m_tree(t), m_out(out), m_nodes(t.m_nodes), m_leaves(t.m_leaves), m_log(t.m_undo) {
        m_log.clear();
        m_out.data.clear();
        m_out.offsets.clear();
        m_out.data.append(4, '\0');
        m_none.set_none();
        m_none.timestamp() = now;
    }
    ~transaction() {
        if (!m_committed) rollback();
        // Kept for the next request, unless a large one made it large.
        if (m_log.capacity() > 4096)
            std::vector<undo>().swap(m_log);
        else
            m_log.clear();
    }

    void commit() {
        m_committed = true;
        wire::patch_u32(m_out.data, 0, uint32_t(m_out.offsets.size()));
    }

    // Appends an event; false when the batch has grown too large.
    bool event(api_cmd_t cmd, std::string_view path, const CElement* value) {
        m_out.offsets.push_back(uint32_t(m_out.data.size()));
        wire::writer w(m_out.data);
        velt::codec::encode_event(w, cmd, path, value ? *value : m_none);
        return m_out.data.size() <= max_batch;
    }

    // Walks to the parent of the path's last component, creating missing
    // ancestor nodes (with their events) when `create`. Returns 0, or
    // VLT_ECONFLICT when an ancestor is a leaf, VLT_EINVAL when the batch
    // outgrows its bound; a missing ancestor without `create` leaves
    // loc.parent null.
    int walk(std::string_view path, bool create, location& loc) {
        // Paths of one request often share their parent: the last one found
        // is taken again while nothing has been removed since.
        const size_t last = path.rfind('/');
        if (m_parent != nullptr && path.substr(0, last) == m_parent_path) {
            find_last(path.substr(last + 1), m_parent, loc);
            return 0;
        }
        entry* node = &m_tree.m_root;
        size_t pos = 1;
        for (size_t end = path.find('/', pos); end != std::string_view::npos;
             pos = end + 1, end = path.find('/', pos)) {
            const std::string_view name = path.substr(pos, end - pos);
            auto it = node->children.find(name);
            if (it == node->children.end()) {
                if (!create) return 0;
                it = node->children.emplace(std::string(name), std::make_unique<entry>()).first;
                m_log.push_back({undo::created, node, it, {}, {}});
                ++m_tree.m_nodes;
                if (!event(CMD_ADD_NODE, path.substr(0, end), nullptr)) return VLT_EINVAL;
            } else if (it->second->leaf) {
                return create ? VLT_ECONFLICT : 0;
            }
            node = it->second.get();
        }
        m_parent = node;
        m_parent_path = path.substr(0, last);
        find_last(path.substr(pos), node, loc);
        return 0;
    }

    static void find_last(std::string_view name, entry* parent, location& loc) {
        loc.parent = parent;
        loc.it = parent->children.find(name);
        loc.found = loc.it == parent->children.end() ? nullptr : loc.it->second.get();
    }

    entry* create(location& loc, std::string_view path, bool leaf) {
        std::string_view name = path.substr(path.rfind('/') + 1);
        auto it = loc.parent->children.emplace(std::string(name), std::make_unique<entry>()).first;
        it->second->leaf = leaf;
        m_log.push_back({undo::created, loc.parent, it, {}, {}});
        ++(leaf ? m_tree.m_leaves : m_tree.m_nodes);
        return it->second.get();
    }

    void detach(location& loc) {
        int64_t nodes = 0, leaves = 0;
        count_subtree(*loc.found, nodes, leaves);
        m_tree.m_nodes -= nodes;
        m_tree.m_leaves -= leaves;
        m_log.push_back({undo::removed, loc.parent, {}, loc.parent->children.extract(loc.it), {}});
        m_parent = nullptr;
    }

    void replace(location& loc, CElement& value) {
        m_log.push_back({undo::replaced, loc.parent, loc.it, {}, {}});
        std::swap(m_log.back().old, loc.found->value);
        loc.found->value = std::move(value);
    }

private:
    void rollback() {
        for (auto u = m_log.rbegin(); u != m_log.rend(); ++u) {
            switch (u->what) {
                case undo::created: u->parent->children.erase(u->it); break;
                case undo::removed: u->parent->children.insert(std::move(u->saved)); break;
                case undo::replaced: u->it->second->value = std::move(u->old); break;
            }
        }
        m_tree.m_nodes = m_nodes;
        m_tree.m_leaves = m_leaves;
        m_out.data.clear();
        m_out.offsets.clear();
    }

    tree& m_tree;
    batch& m_out;
    CElement m_none;
    int64_t m_nodes, m_leaves;
    std::vector<undo>& m_log;
    entry* m_parent = nullptr;       // the node the last walk ended in
    std::string_view m_parent_path;  // its path (a view into the request)
    bool m_committed = false;
};

tree::tree() = default;
tree::~tree() = default;

int tree::add_nodes(const std::vector<std::string>& paths, const timeval& now, std::vector<int32_t>& statuses,
                    batch& out) {
    transaction tx(*this, out, now);
    for (size_t i = 0; i < paths.size(); ++i) {
        location loc;
        int rc = tx.walk(paths[i], true, loc);
        if (rc == 0 && loc.found && loc.found->leaf) rc = VLT_ECONFLICT;
        if (rc == 0 && !loc.found) {
            tx.create(loc, paths[i], false);
            if (!tx.event(CMD_ADD_NODE, paths[i], nullptr)) rc = VLT_EINVAL;
        }
        if (rc != 0) return statuses[i] = rc;
    }
    tx.commit();
    return 0;
}

int tree::remove_nodes(const std::vector<std::string>& paths, const timeval& now,
                       std::vector<int32_t>& statuses, batch& out) {
    return detach_all(paths, false, now, statuses, out);
}

int tree::clear_leaves(const std::vector<std::string>& paths, const timeval& now,
                       std::vector<int32_t>& statuses, batch& out) {
    return detach_all(paths, true, now, statuses, out);
}

int tree::detach_all(const std::vector<std::string>& paths, bool leaves, const timeval& now,
                     std::vector<int32_t>& statuses, batch& out) {
    const api_cmd_t cmd = leaves ? CMD_CLEAR_LEAF : CMD_REMOVE_NODE;
    transaction tx(*this, out, now);
    for (size_t i = 0; i < paths.size(); ++i) {
        location loc;
        tx.walk(paths[i], false, loc);
        if (!loc.found) continue;
        int rc = 0;
        if (loc.found->leaf != leaves) {
            rc = VLT_ECONFLICT;
        } else {
            tx.detach(loc);
            if (!tx.event(cmd, paths[i], nullptr)) rc = VLT_EINVAL;
        }
        if (rc != 0) return statuses[i] = rc;
    }
    tx.commit();
    return 0;
}

int tree::set_leaves(std::vector<leaf_write>& items, const timeval& now, std::vector<int32_t>& statuses,
                     batch& out) {
    transaction tx(*this, out, now);
    for (size_t i = 0; i < items.size(); ++i) {
        location loc;
        int rc = tx.walk(items[i].path, true, loc);
        if (rc == 0) {
            if (!loc.found) {
                entry* e = tx.create(loc, items[i].path, true);
                e->value = std::move(items[i].value);
                loc.found = e;
            } else if (!loc.found->leaf) {
                rc = VLT_ECONFLICT;
            } else {
                tx.replace(loc, items[i].value);
            }
        }
        if (rc == 0 && !tx.event(CMD_SET_LEAF, items[i].path, &loc.found->value)) rc = VLT_EINVAL;
        if (rc != 0) return statuses[i] = rc;
    }
    tx.commit();
    return 0;
}

const tree::entry* tree::find(std::string_view path) const {
    const entry* e = &m_root;
    if (path == "/") return e;
    for (size_t pos = 1; pos <= path.size();) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        if (e->leaf) return nullptr;
        auto it = e->children.find(path.substr(pos, end - pos));
        if (it == e->children.end()) return nullptr;
        e = it->second.get();
        pos = end + 1;
    }
    return e;
}

namespace {

struct dumper {
    std::string& out;
    uint32_t& count;
    size_t limit;
    std::string last;
    bool full = false;

    void emit(const tree::entry& e, const std::string& path) {
        wire::writer w(out);
        w.u8(e.leaf ? 1 : 0);
        w.str(path);
        if (e.leaf) velt::codec::encode_value(w, e.value);
        ++count;
        if (out.size() >= limit) {
            full = true;
            last = path;
        }
    }

    // The children of `node` (whose path is `path`) and everything below
    // them, skipping whatever comes at or before the components `after`.
    void children(const tree::entry& node, std::string& path, std::span<const std::string_view> after) {
        auto it = after.empty() ? node.children.begin() : node.children.lower_bound(after[0]);
        for (; it != node.children.end() && !full; ++it) {
            size_t len = path.size();
            if (len > 1) path.push_back('/');
            path += it->first;
            if (!after.empty() && it->first == after[0]) {
                // This child lies on the way to the resume point: it was
                // listed before, and so was part of what lies below it.
                children(*it->second, path, after.subspan(1));
            } else {
                emit(*it->second, path);
                if (!full) children(*it->second, path, {});
            }
            path.resize(len);
            after = {};
        }
    }
};

}  // namespace

bool tree::dump(std::string_view path, std::string_view after, std::string& out, uint32_t& count,
                size_t limit, std::string& last) const {
    const entry* start = find(path);
    if (!start) return false;
    dumper d{out, count, limit, {}};
    std::string p(path);
    std::vector<std::string_view> rest;
    if (after.empty()) {
        if (path != "/") d.emit(*start, p);
    } else {
        auto all = components(after);
        size_t skip = path == "/" ? 0 : components(path).size();
        rest.assign(all.begin() + long(std::min(skip, all.size())), all.end());
    }
    if (!d.full && !start->leaf) d.children(*start, p, rest);
    if (d.full) last = std::move(d.last);
    return d.full;
}

}  // namespace veltd
