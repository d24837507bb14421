// What snapshot and verify share: the connection to the live store and its
// subtrees read into a tree.
#ifndef ROREZUREDI_LOG_LIVE_STORE_H
#define ROREZUREDI_LOG_LIVE_STORE_H

#include <velt_admin.h>

#include <string>
#include <vector>

#include "store_state.h"

namespace logtool {

// Connects to the store, found as every client finds it (VELT_SOCKET, else
// /tmp/velt.sock); false after a message.
bool connect_store(toolkit::CVelt& api);

// The canonical -p paths in dump order, without those another one covers;
// "/" when none is given.
std::vector<std::string> subtree_paths(std::vector<std::string> given);

// Reads the subtrees with one dump request, so at one moment, the entries in
// dump order. A missing subtree is left out when `missing_ok`, else refused.
// Returns 0 or the store's code, after a message.
int dump_subtrees(vlt_handle_t handle, const std::vector<std::string>& paths, bool missing_ok,
                  std::vector<velt::admin::dump_entry>& out);

}  // namespace logtool

#endif
