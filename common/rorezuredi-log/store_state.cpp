#include "store_state.h"

#include <cmath>

#include "daemon/checks.h"
#include "daemon/clock.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

namespace logtool {

using toolkit::CElement;

std::size_t request_bytes(api_cmd_t cmd) {
    return cmd == CMD_SET_LEAF ? 4 + 1 + 4 : 4 + 4;
}

std::size_t request_bytes(api_cmd_t cmd, const std::string& path, const CElement& value) {
    return 4 + path.size() + (cmd == CMD_SET_LEAF ? velt::codec::encoded_size(value) + 1 : 0);
}

int store_state::apply(event_batch_t& batch, size_t& failed, bool consume) {
    std::size_t bytes = request_bytes(batch.cmd);
    for (const event_instance_t& e : batch.events) bytes += request_bytes(batch.cmd, e.path, e.value);
    if (bytes > velt::wire::max_request) {
        failed = 0;
        return VLT_EINVAL;
    }
    return request(batch.cmd, batch.events.data(), batch.events.size(), failed, consume);
}

long long store_state::apply_each(event_batch_t& batch, const std::function<void(size_t, int)>& on_skip) {
    long long skipped = 0;
    for (size_t i = 0; i < batch.events.size(); ++i) {
        size_t failed = 0;
        if (const int code = request(batch.cmd, &batch.events[i], 1, failed, false); code != 0) {
            on_skip(i, code);
            ++skipped;
        }
    }
    return skipped;
}

// The store's checks on each path (and value), then the tree's request; the
// index reported is the first whose status is not 0, as the store sets them.
int store_state::request(api_cmd_t cmd, event_instance_t* events, size_t n, size_t& failed, bool consume) {
    const timeval now = veltd::now();
    m_statuses.assign(n, 0);
    int result = 0;
    if (cmd == CMD_SET_LEAF) {
        m_items.resize(n);
        for (size_t i = 0; i < n; ++i) {
            veltd::tree::leaf_write& item = m_items[i];
            if (consume)
                item.value = std::move(events[i].value);
            else
                item.value = events[i].value;
            if (!veltd::canonical_path(events[i].path, item.path) || item.path == "/" ||
                veltd::stamp_value(item.value, false, now) != 0)
                result = m_statuses[i] = VLT_EINVAL;
        }
        if (result == 0) result = m_tree.set_leaves(m_items, now, m_statuses, m_events);
    } else {
        m_paths.resize(n);
        for (size_t i = 0; i < n; ++i) {
            if (!veltd::canonical_path(events[i].path, m_paths[i]) || m_paths[i] == "/")
                result = m_statuses[i] = VLT_EINVAL;
        }
        if (result == 0) {
            switch (cmd) {
                case CMD_ADD_NODE: result = m_tree.add_nodes(m_paths, now, m_statuses, m_events); break;
                case CMD_REMOVE_NODE: result = m_tree.remove_nodes(m_paths, now, m_statuses, m_events); break;
                case CMD_CLEAR_LEAF: result = m_tree.clear_leaves(m_paths, now, m_statuses, m_events); break;
                default: result = VLT_EINVAL;  // the reader admits no other command
            }
        }
    }
    failed = 0;
    while (result != 0 && failed + 1 < n && m_statuses[failed] == 0) ++failed;
    return result;
}

std::unique_ptr<store_entry> clone(const store_entry& e) {
    auto copy = std::make_unique<store_entry>();
    copy->leaf = e.leaf;
    copy->value = e.value;
    for (const auto& [name, child] : e.children) copy->children.emplace(name, clone(*child));
    return copy;
}

void insert_listed(store_entry& root, std::string_view path, bool leaf, const CElement& value) {
    store_entry* e = &root;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view name = path.substr(pos, end - pos);
        auto it = e->children.find(name);
        if (it == e->children.end())
            it = e->children.emplace(std::string(name), std::make_unique<store_entry>()).first;
        e = it->second.get();
        pos = end + 1;
    }
    e->leaf = leaf;
    if (leaf) e->value = value;
}

const store_entry* find_entry(const store_entry& root, std::string_view path) {
    const store_entry* e = &root;
    size_t pos = path == "/" ? path.size() + 1 : 1;
    while (e != nullptr && pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        const auto it = e->children.find(path.substr(pos, end - pos));
        e = it == e->children.end() ? nullptr : it->second.get();
        pos = end + 1;
    }
    return e;
}

namespace {

// Appends a child's name to `path`; returns the length to cut back to.
size_t push_name(std::string& path, const std::string& name) {
    const size_t len = path.size();
    if (len > 1) path.push_back('/');
    path += name;
    return len;
}

bool same_leaf(const CElement& a, const CElement& b, bool times) {
    if (times &&
        (a.timestamp().tv_sec != b.timestamp().tv_sec || a.timestamp().tv_usec != b.timestamp().tv_usec))
        return false;
    if (a.type() == DATATYPE_DOUBLE && b.type() == DATATYPE_DOUBLE && std::isnan(a.get_double()) &&
        std::isnan(b.get_double()))
        return true;  // printed alike, whatever their bits
    return a.same_value(b);
}

}  // namespace

void walk(const store_entry& e, std::string& path,
          const std::function<void(const std::string&, const store_entry&)>& f) {
    if (path != "/") f(path, e);
    for (const auto& [name, child] : e.children) {
        const size_t len = push_name(path, name);
        walk(*child, path, f);
        path.resize(len);
    }
}

long long compare(const store_entry* a, const store_entry* b, std::string& path, bool times,
                  const std::function<void(const change&)>& f) {
    long long n = 0;
    const auto whole = [&](const store_entry& e, char op) {
        walk(e, path, [&](const std::string& p, const store_entry& x) {
            change c{op, x.leaf, &p, op == '-' ? &x.value : nullptr, op == '+' ? &x.value : nullptr};
            f(c);
            ++n;
        });
    };
    if (a == nullptr && b == nullptr) return 0;
    if (a == nullptr || b == nullptr || a->leaf != b->leaf) {
        if (a != nullptr) whole(*a, '-');
        if (b != nullptr) whole(*b, '+');
        return n;
    }
    if (a->leaf) {
        if (same_leaf(a->value, b->value, times)) return 0;
        f(change{'~', true, &path, &a->value, &b->value});
        return 1;
    }
    // Two nodes: their children side by side, in byte order of names.
    auto i = a->children.begin(), j = b->children.begin();
    while (i != a->children.end() || j != b->children.end()) {
        const store_entry *x = nullptr, *y = nullptr;
        const std::string* name = nullptr;
        if (j == b->children.end() || (i != a->children.end() && i->first < j->first)) {
            x = i->second.get(), name = &i->first, ++i;
        } else if (i == a->children.end() || j->first < i->first) {
            y = j->second.get(), name = &j->first, ++j;
        } else {
            x = i->second.get(), y = j->second.get(), name = &i->first, ++i, ++j;
        }
        const size_t len = push_name(path, *name);
        n += compare(x, y, path, times, f);
        path.resize(len);
    }
    return n;
}

}  // namespace logtool
