#include "event_rows.h"

namespace logtool {

int show_batches(log_cursor& cursor, const selection& select,
                 const std::function<void(const log_batch&)>& show) {
    const std::optional<nanos> start = select.place(cursor);
    if (!start) return exit_refused;
    log_batch b;
    while (cursor.next(b))
        if (select.keeps(b, *start)) show(b);
    return cursor.failed() ? cursor.refuse() : exit_ok;
}

std::string_view value_text(const event_instance_t& ev, std::string& scratch) {
    // A value that did not convert is still the text read.
    if (ev.value.type() == DATATYPE_STRING) return ev.value.get_bytes();
    ev.value.to_string(scratch);
    return scratch;
}

const char* type_name(const event_instance_t& ev) {
    const char* name = vlt_enum_to_str(ev.type);
    return name != nullptr ? name : toolkit::CElement::_invalid.c_str();
}

bool has_timestamp(const event_instance_t& ev) {
    return ev.value.timestamp().tv_sec != -1;
}

std::string_view leaf_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace logtool
