/* libvelt: the plain C interface of the Velt configuration store client. */
#ifndef VELT_H
#define VELT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Data type codes of leaf values. */
typedef enum data_type_t {
    DATATYPE_INVALID = 0,
    DATATYPE_BOOL = 1,
    DATATYPE_INT32 = 2,
    DATATYPE_UINT32 = 3,
    DATATYPE_INT64 = 4,
    DATATYPE_UINT64 = 5,
    DATATYPE_STRING = 6,
    DATATYPE_DOUBLE = 7,
    DATATYPE_IPV4 = 8,
    DATATYPE_IPV6 = 9,
    DATATYPE_MAC = 10,
    DATATYPE_BINARY = 11,
    DATATYPE_NONE = 12
} data_type_t;

/* Store commands, as carried by change events. 0 means "no command". */
typedef enum api_cmd_t {
    CMD_ADD_NODE = 1,
    CMD_REMOVE_NODE = 2,
    CMD_SET_LEAF = 4,
    CMD_CLEAR_LEAF = 5
} api_cmd_t;

/* Kinds of notification a client can subscribe to. */
typedef enum api_event_t { EVENT_CHANGE = 1 } api_event_t;

/* Per-item status written by requests: 0 ok, otherwise the item's error code. */
typedef int32_t api_status_t;

/* Per-leaf flag of set_leaves. */
typedef enum vlt_tribool_t { VLT_FALSE = 0, VLT_TRUE = 1, VLT_UNSET = 2 } vlt_tribool_t;

/* Connection handle; 0 is "no connection". */
typedef uint64_t vlt_handle_t;

/* Result codes of requests (besides 0 for success and failpoint codes). */
enum {
    VLT_OK = 0,
    VLT_EINVAL = 1,    /* bad or empty path, root as target, bad type, bad timestamp, ... */
    VLT_ECONFLICT = 2, /* node where a leaf is needed or the reverse */
    VLT_ENOENT = 3,    /* no such path (get and dump only) */
    VLT_ELOST = -1     /* connection lost */
};

/* Connects to the store at $VELT_SOCKET (when set and not empty) or /tmp/velt.sock.
 * Returns 0 when nothing answers there; never waits or retries. */
vlt_handle_t vlt_init(void);

/* Closes the connection; unknown or zero handles are ignored. */
void vlt_close(vlt_handle_t handle);

/* Descriptor that is readable exactly while a notification batch is pending
 * for the connection (and once the connection is lost); -1 for a bad handle. */
int vlt_get_fd(vlt_handle_t handle);

/* Canonicalises the path held in path[0..len) in place: collapses runs of '/',
 * drops a trailing '/', adds a leading '/' when missing ("" becomes "/").
 * The buffer must have room for len + 1 bytes. Returns the new length. */
size_t vlt_canonicalize_path(char* path, size_t len);

/* Type name to code, exact and case-sensitive; 0 for an unknown name. */
data_type_t vlt_str_to_enum(const char* name);

/* Type code to name; NULL for DATATYPE_INVALID and for codes without a name. */
const char* vlt_enum_to_str(data_type_t type);

#ifdef __cplusplus
}
#endif

#endif
