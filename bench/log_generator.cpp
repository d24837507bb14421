#include "log_generator.h"

#include <velt++.h>
#include <velt_commands.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

// splitmix64: small, fast and the same on every platform.
class random_source {
public:
    explicit random_source(uint64_t seed) : m_state(seed) {}
    uint64_t next() {
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi].
    long range(long lo, long hi) { return lo + long(next() % uint64_t(hi - lo + 1)); }
    bool chance(int percent) { return long(next() % 100) < percent; }

private:
    uint64_t m_state;
};

struct leaf_kind {
    const char* name;
    data_type_t type;
};

// An entity is a node of the tree whose leaves change together.
struct entity_kind {
    const char* name;
    int count;     // entities of this kind
    int weight;    // share of batches that touch this kind, in percent
    bool is_node;  // may be added and removed as a node
    std::vector<leaf_kind> leaves;
};

const std::vector<entity_kind>& entity_kinds() {
    static const std::vector<entity_kind> kinds = {
        {"interface",
         64,
         20,
         false,
         {{"mtu", DATATYPE_UINT32},
          {"enabled", DATATYPE_BOOL},
          {"description", DATATYPE_STRING},
          {"speed", DATATYPE_UINT64},
          {"mac", DATATYPE_MAC},
          {"ipv4/address", DATATYPE_IPV4},
          {"ipv6/address", DATATYPE_IPV6}}},
        {"vlan",
         64 * 32,
         15,
         true,
         {{"id", DATATYPE_UINT32}, {"name", DATATYPE_STRING}, {"tagged", DATATYPE_BOOL}}},
        {"route",
         8192,
         30,
         true,
         {{"prefix", DATATYPE_STRING},
          {"next-hop", DATATYPE_IPV4},
          {"metric", DATATYPE_INT32},
          {"distance", DATATYPE_UINT32}}},
        {"counters",
         64,
         20,
         false,
         {{"rx-bytes", DATATYPE_UINT64},
          {"tx-bytes", DATATYPE_UINT64},
          {"rx-errors", DATATYPE_INT64},
          {"utilisation", DATATYPE_DOUBLE}}},
        {"qos",
         256,
         10,
         false,
         {{"rate", DATATYPE_DOUBLE},
          {"burst", DATATYPE_UINT32},
          {"dscp", DATATYPE_INT32},
          {"name", DATATYPE_STRING}}},
        {"key", 512, 5, false, {{"material", DATATYPE_BINARY}, {"enabled", DATATYPE_BOOL}}},
    };
    return kinds;
}

std::string entity_path(const entity_kind& kind, int index) {
    const std::string n = std::to_string(index);
    const std::string name = kind.name;
    if (name == "interface") return "/interfaces/eth" + n;
    if (name == "vlan")
        return "/interfaces/eth" + std::to_string(index / 32) + "/vlan/" + std::to_string(100 + index % 32);
    if (name == "route") return "/routing/static/route-" + n;
    if (name == "counters") return "/counters/eth" + n;
    if (name == "qos") return "/qos/policy-" + n;
    return "/crypto/keys/key-" + n;
}

const char* const descriptions[] = {
    "uplink to core-1", "customer A & B", "<reserved>", "mgmt \"out of band\"",
    "it's a trunk",     "Übergang Süd",   "",           "peering: AS64500 via IX-FRA, 10G, ticket #48213",
};

void random_value(random_source& rng, const entity_kind& kind, int index, const leaf_kind& leaf,
                  toolkit::CElement& v) {
    char bytes[32];
    switch (leaf.type) {
        case DATATYPE_BOOL: v.set_bool(rng.chance(70)); break;
        case DATATYPE_INT32: v.set_int32(int32_t(rng.range(-100, 65535))); break;
        case DATATYPE_UINT32: v.set_uint32(uint32_t(rng.range(1, 9216))); break;
        case DATATYPE_INT64: v.set_int64(int64_t(rng.range(0, 1000000))); break;
        case DATATYPE_UINT64: v.set_uint64(rng.next() >> rng.range(4, 40)); break;
        case DATATYPE_DOUBLE: v.set_double(double(rng.range(0, 1000000)) / 1000.0); break;
        case DATATYPE_STRING: {
            const std::string name = kind.name;
            if (name == "route") {
                v.set_string("10." + std::to_string(index / 256) + "." + std::to_string(index % 256) +
                             ".0/24");
            } else if (name == "interface") {
                v.set_string(descriptions[rng.next() % (sizeof descriptions / sizeof *descriptions)]);
            } else {
                v.set_string(name + "-" + std::to_string(rng.range(1, 4094)));
            }
            break;
        }
        case DATATYPE_IPV4:
            bytes[0] = char(rng.chance(50) ? 10 : 192);
            for (int i = 1; i < 4; ++i) bytes[i] = char(rng.next());
            v.set_bytes(DATATYPE_IPV4, {bytes, 4});
            break;
        case DATATYPE_IPV6: {
            // 2001:db8::/32 documentation prefix, sparse interface identifiers.
            const char prefix[] = {0x20, 0x01, 0x0d, (char)0xb8};
            for (int i = 0; i < 16; ++i) bytes[i] = 0;
            for (int i = 0; i < 4; ++i) bytes[i] = prefix[i];
            bytes[7] = char(rng.range(0, 255));
            bytes[14] = char(rng.next());
            bytes[15] = char(rng.next());
            v.set_bytes(DATATYPE_IPV6, {bytes, 16});
            break;
        }
        case DATATYPE_MAC:
            bytes[0] = 0x02;
            for (int i = 1; i < 6; ++i) bytes[i] = char(rng.next());
            v.set_bytes(DATATYPE_MAC, {bytes, 6});
            break;
        case DATATYPE_BINARY: {
            const int n = int(rng.range(8, 24));
            for (int i = 0; i < n; ++i) bytes[i] = char(rng.next());
            v.set_bytes(DATATYPE_BINARY, {bytes, size_t(n)});
            break;
        }
        default: v.set_none(); break;
    }
}

// A word for `veltctl batch`: single-quoted, with ' written as '\''.
void append_quoted(std::string& out, const std::string& text) {
    out.push_back('\'');
    for (char c : text) {
        if (c == '\'')
            out.append("'\\''");
        else
            out.push_back(c);
    }
    out.push_back('\'');
}

struct file_closer {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

file_ptr open_output(const std::string& path) {
    file_ptr f(std::fopen(path.c_str(), "w"));
    if (!f) throw std::runtime_error("cannot write " + path);
    std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 20);
    return f;
}

void close_output(file_ptr& f, const std::string& path) {
    FILE* raw = f.release();
    if (std::ferror(raw) != 0 || std::fclose(raw) != 0) throw std::runtime_error("cannot write " + path);
}

int pick_kind(random_source& rng, bool nodes_only) {
    const auto& kinds = entity_kinds();
    for (;;) {
        long roll = rng.range(0, 99);
        for (size_t k = 0; k < kinds.size(); ++k) {
            roll -= kinds[k].weight;
            if (roll < 0) {
                if (!nodes_only || kinds[k].is_node) return int(k);
                break;
            }
        }
    }
}

// Batch sizes: mostly a few events, some tens, now and then a hundred.
long batch_size(random_source& rng, api_cmd_t cmd) {
    const long roll = rng.range(0, 99);
    long n = roll < 55 ? rng.range(1, 4) : roll < 90 ? rng.range(5, 24) : rng.range(25, 100);
    if (cmd == CMD_ADD_NODE || cmd == CMD_REMOVE_NODE) n = std::min(n, 8L);
    return n;
}

}  // namespace

log_summary write_log(const log_options& opt, const std::string& log_path, const std::string& batch_path) {
    random_source rng(opt.seed);
    file_ptr log = open_output(log_path);
    file_ptr script;
    if (!batch_path.empty()) script = open_output(batch_path);

    const long start_sec = 1700000000;
    const long start_nsec = 5000123;
    std::fputs("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n", log.get());
    std::fprintf(log.get(), "<%s>\n", "dump");
    std::fprintf(log.get(), "\t<%s %s=\"%ld.%ld\"/>\n", "start", "time", start_sec, start_nsec);

    const auto& kinds = entity_kinds();
    log_summary sum;
    long offset_ns = 0;  // batch time since the start
    std::string line, path, text, type_text;
    toolkit::CElement value;

    while (sum.events < opt.events) {
        api_cmd_t cmd = CMD_SET_LEAF;
        long n = 1;
        if (opt.pacing) {
            offset_ns = sum.batches * opt.spacing_us * 1000;
        } else {
            const long roll = rng.range(0, 99);
            cmd = roll < 75   ? CMD_SET_LEAF
                  : roll < 83 ? CMD_ADD_NODE
                  : roll < 92 ? CMD_CLEAR_LEAF
                              : CMD_REMOVE_NODE;
            n = batch_size(rng, cmd);
            if (sum.batches > 0) offset_ns += rng.range(0, 2 * opt.spacing_us * 1000);
        }
        n = std::min(n, opt.events - sum.events);
        // The store stamps a leaf when it is written: the start plus the batch time.
        const long wall_ns = start_nsec + offset_ns;
        const long event_sec = start_sec + wall_ns / 1000000000;
        const long event_usec = wall_ns % 1000000000 / 1000;
        const char* action = velt::command_name(cmd);
        std::fprintf(log.get(), "\t<%s %s=\"%ld.%.9ld\" %s=\"%s\">\n", "batch", "time",
                     offset_ns / 1000000000, offset_ns % 1000000000, "action", action);
        line = cmd == CMD_SET_LEAF     ? "set"
               : cmd == CMD_ADD_NODE   ? "add"
               : cmd == CMD_CLEAR_LEAF ? "clear"
                                       : "remove";

        // Walk the entities of one kind from a random one on, taking every
        // leaf of each (or the entity itself for node commands): paths within
        // a batch are distinct.
        const bool node_cmd = cmd == CMD_ADD_NODE || cmd == CMD_REMOVE_NODE;
        const entity_kind& kind = kinds[size_t(pick_kind(rng, node_cmd))];
        int entity = int(rng.range(0, kind.count - 1));
        size_t leaf = 0;
        for (long e = 0; e < n; ++e) {
            if (opt.pacing) {
                path = "/pacing/b" + std::to_string(sum.batches);
                value.set_uint32(uint32_t(sum.batches));
                type_text = "uint32";
            } else if (node_cmd) {
                path = entity_path(kind, entity);
                entity = (entity + 1) % kind.count;
            } else {
                const leaf_kind& lk = kind.leaves[leaf];
                path = entity_path(kind, entity) + "/" + lk.name;
                if (cmd == CMD_SET_LEAF) {
                    random_value(rng, kind, entity, lk, value);
                    type_text = vlt_enum_to_str(lk.type);
                }
                if (++leaf == kind.leaves.size()) {
                    leaf = 0;
                    entity = (entity + 1) % kind.count;
                }
            }
            line.push_back(' ');
            append_quoted(line, path);
            toolkit::CElement::xml_escape(path);
            std::fprintf(log.get(), "\t\t<%s %s=\"%s\" %s=\"%ld.%.6ld\"", "event", "path", path.c_str(),
                         "time", event_sec, event_usec);
            if (cmd == CMD_SET_LEAF) {
                value.to_string(text);
                line.push_back(' ');
                line.append(type_text);
                line.push_back(' ');
                append_quoted(line, text);
                toolkit::CElement::xml_escape(text);
                std::fprintf(log.get(), " %s=\"%s\">%s</%s", "type", type_text.c_str(), text.c_str(),
                             "event");
            } else {
                std::fputs(" /", log.get());
            }
            std::fputs(">\n", log.get());
        }
        std::fprintf(log.get(), "\t</%s>\n", "batch");
        if (script) {
            line.push_back('\n');
            std::fwrite(line.data(), 1, line.size(), script.get());
        }
        sum.events += n;
        ++sum.batches;
    }
    std::fprintf(log.get(), "</%s>\n", "dump");
    sum.log_bytes = uint64_t(std::ftell(log.get()));
    close_output(log, log_path);
    if (script) close_output(script, batch_path);
    return sum;
}

}  // namespace bench
