// Administrative calls of the store, used by veltctl and by tests.
// They are not part of the interface rorezuredi compiles against.
#ifndef VELT_ADMIN_H
#define VELT_ADMIN_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "velt++.h"

namespace velt::admin {

// 0 when the store answers.
int ping(vlt_handle_t handle);

// The leaf at `path` into `out` (value and timestamp). 0 on success;
// VLT_ENOENT for a missing path, VLT_ECONFLICT for a node, VLT_EINVAL for a bad path.
int get(vlt_handle_t handle, const tk_string& path, toolkit::CElement& out);

struct dump_entry {
    bool is_leaf = false;
    tk_string path;
    toolkit::CElement value;  // leaves only
};

// Every node and leaf at or under `path` ("/": everything below the root,
// the root itself not listed), depth first, siblings in byte order of names.
// VLT_ENOENT when `path` does not exist.
int dump(vlt_handle_t handle, const tk_string& path, std::vector<dump_entry>& out);
// The same for several subtrees, one after the other in the order given, all
// taken at one moment by one request. VLT_ENOENT when one of them does not
// exist, unless `skip_missing`: then it is left out.
int dump(vlt_handle_t handle, const std::vector<tk_string>& paths, bool skip_missing,
         std::vector<dump_entry>& out);

// NAME VALUE pairs: at least clients, subscribers, nodes, leaves, pending.
int status(vlt_handle_t handle, std::vector<std::pair<std::string, int64_t>>& out);

// Makes the next `count` calls of `op` fail with `code` (count -1: until cleared).
// op: add_nodes, remove_nodes, set_leaves, clear_leaves, register, events_get.
// VLT_EINVAL for an unknown op, or a non-negative code for events_get.
int failpoint_set(vlt_handle_t handle, const std::string& op, int32_t code, int64_t count);
int failpoint_clear(vlt_handle_t handle);

}  // namespace velt::admin

#endif
