#include "log_writer.h"

#include <utility>

#include "log_format.h"

namespace logtool {

log_writer::log_writer(output_file& out) : m_out(out) {
    write_log_head(m_out.stream());
}

void log_writer::put_start(std::optional<nanos> start) {
    timespec t{};
    if (!start || start == m_written || !to_timespec(*start, t)) return;
    write_start(m_out.stream(), t);
    m_written = start;
}

void log_writer::write(const event_batch_t& batch, std::optional<nanos> start) {
    put_start(start);
    write_batch(m_out.stream(), batch);
    ++m_batches;
    m_events += static_cast<long long>(batch.events.size());
}

bool log_writer::finish(std::optional<nanos> start) {
    put_start(start);
    write_log_tail(m_out.stream());
    return m_out.commit();
}

bool log_rewrite::open(const std::string& file, const std::string& out_name, bool empty_batches) {
    std::optional<input_log> in = open_input(file);
    if (!in || !out.open(out_name, {&*in})) return false;
    cursor.emplace(std::move(*in), empty_batches);
    return true;
}

}  // namespace logtool
