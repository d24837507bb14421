#include "daemon/publish.h"

#include <algorithm>

#include "daemon/server.h"
#include "protocol/wire.h"

namespace veltd {

namespace wire = velt::wire;

bool covers(std::string_view sub, std::string_view path) {
    if (sub == "/") return true;
    if (path.size() < sub.size() || path.compare(0, sub.size(), sub) != 0) return false;
    return path.size() == sub.size() || path[sub.size()] == '/';
}

void subscription::add(std::string path) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(std::move(path));
}

shared_text subscription::select(const shared_text& full, const std::vector<uint32_t>& offsets) const {
    if (std::any_of(paths.begin(), paths.end(), [](const auto& s) { return s == "/"; })) return full;
    // Only the events under this subscriber's paths.
    std::string part(4, '\0');
    uint32_t count = 0;
    for (size_t i = 0; i < offsets.size(); ++i) {
        size_t begin = offsets[i];
        size_t end = i + 1 < offsets.size() ? offsets[i + 1] : full->size();
        wire::reader r(std::string_view(*full).substr(begin + 1));
        std::string_view path = r.str();
        if (!std::any_of(paths.begin(), paths.end(), [&](const auto& s) { return covers(s, path); }))
            continue;
        part.append(*full, begin, end - begin);
        ++count;
    }
    if (count == 0) return nullptr;
    if (count == offsets.size()) return full;
    wire::patch_u32(part, 0, count);
    return std::make_shared<const std::string>(std::move(part));
}

void server::publish(batch& b) {
    if (b.count() == 0) return;
    std::vector<uint32_t> offsets = std::move(b.offsets);
    auto full = std::make_shared<const std::string>(std::move(b.data));
    for (auto& [id, cp] : m_clients) {
        client& c = *cp;
        if (c.dead || !c.sub.active()) continue;
        shared_text mine = c.sub.select(full, offsets);
        if (!mine) continue;
        // Cut off a subscriber that has fallen too far behind, instead of
        // letting it hold unbounded memory, and one that can no longer take
        // its batches.
        if (c.chan.queued() > max_pending_bytes || c.chan.broken()) {
            drop(c);
            continue;
        }
        // Written once the current event is handled, after the answer to
        // the request, together with any other batch it brings.
        if (c.chan.queued() == 0) m_unflushed.push_back(c.id);
        c.chan.push(mine);
    }
}

}  // namespace veltd
