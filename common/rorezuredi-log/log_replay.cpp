#include "log_replay.h"

#include <algorithm>
#include <functional>

#include "ctl/format.h"

namespace logtool {

struct log_replay::input {
    input_log in;
    std::unique_ptr<log_cursor> cursor;
    nanos offset = 0;  // from the common origin to this log's start
    event_batch_t batch;
    nanos time = 0;        // the batch's time on the log's own axis
    long long index = -1;  // of the batch, among the log's batches with events
};

// A batch as the reader hands it over.
struct log_replay::ordered {
    event_batch_t batch;
    nanos at = 0;    // on the common axis
    nanos time = 0;  // on its log's own axis
    size_t input = 0;
    long long index = 0;
};

namespace {

constexpr auto later = std::greater<std::pair<nanos, size_t>>();
// The reader runs at most this far ahead: a few chunks, each closed at so
// many batches or events, whichever comes first.
constexpr size_t chunk_batches = 256;
constexpr size_t chunk_events = 16384;
constexpr size_t max_chunks = 4;

}  // namespace

log_replay::log_replay() = default;

log_replay::~log_replay() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_reader.joinable()) m_reader.join();
}

int log_replay::open(const std::vector<std::string>& files, bool keep_going) {
    m_keep_going = keep_going;
    if (std::count(files.begin(), files.end(), "-") > 1) {
        std::fputs("rorezuredi-log: standard input ('-') can be only one of the inputs\n", stderr);
        return exit_usage;
    }
    for (const std::string& f : files) {
        auto in = std::make_unique<input>();
        if (!open_input(f, in->in)) return exit_usage;
        m_inputs.push_back(std::move(in));
    }
    // Every log's start places its batches among the others'; a single log
    // needs none, it is taken on its own axis.
    for (auto& in : m_inputs) {
        in->cursor = std::make_unique<log_cursor>(in->in);
        in->cursor->prime();
        if (in->cursor->failed()) return refuse(in->in, in->cursor->report());
        if (!in->cursor->start_first()) {
            if (m_inputs.size() == 1) continue;
            std::fprintf(stderr,
                         "rorezuredi-log: '%s' has no start element before its first batch, so its batches "
                         "can't be placed among the other logs'; give it one: rorezuredi-log retime --start "
                         "ISO-TIME %s OUT\n",
                         in->in.display().c_str(), in->in.name.c_str());
            return exit_refused;
        }
        const nanos start = to_nanos(in->cursor->start());
        if (!m_has_origin || start < m_origin) m_origin = start;
        m_has_origin = true;
    }
    for (auto& in : m_inputs) in->offset = m_has_origin ? to_nanos(in->cursor->start()) - m_origin : 0;
    for (size_t i = 0; i < m_inputs.size(); ++i)
        if (const int status = pull(i); status != exit_ok) return status;
    m_reader = std::thread([this] { read_ahead(); });
    return exit_ok;
}

// The reader thread: the batches in order, handed over in chunks, until the
// logs end, one is refused, or the replay is dropped.
void log_replay::read_ahead() {
    std::vector<ordered> chunk;
    size_t events = 0;
    int status = exit_ok;
    try {
        while (!m_queue.empty() && status == exit_ok) {
            std::pop_heap(m_queue.begin(), m_queue.end(), later);
            const auto [at, i] = m_queue.back();
            m_queue.pop_back();
            input& in = *m_inputs[i];
            events += in.batch.events.size();
            chunk.push_back({std::move(in.batch), at, in.time, i, in.index});
            status = pull(i);
            if (chunk.size() < chunk_batches && events < chunk_events && !m_queue.empty() &&
                status == exit_ok)
                continue;
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stop || m_chunks.size() < max_chunks; });
            if (m_stop) return;
            m_chunks.push_back(std::move(chunk));
            chunk.clear();
            events = 0;
            m_changed.notify_all();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rorezuredi-log: %s\n", e.what());
        status = exit_usage;
    }
    const std::lock_guard lock(m_mutex);
    m_read_all = true;
    m_read_status = status;
    m_changed.notify_all();
}

// True once a batch is at m_current[m_next]; false at the end of the reading.
bool log_replay::next_ready() {
    while (m_next == m_current.size()) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_chunks.empty() || m_read_all; });
        if (m_chunks.empty()) return false;
        m_current = std::move(m_chunks.front());
        m_chunks.pop_front();
        m_next = 0;
        m_changed.notify_all();
    }
    return true;
}

bool log_replay::axis_time(const time_arg& t, nanos& out) const {
    if (!t.absolute) {
        out = t.value;
        return true;
    }
    if (!m_has_origin) {
        std::fputs("rorezuredi-log: an ISO time needs a start element before the first batch to place it\n",
                   stderr);
        return false;
    }
    out = t.value - m_origin;
    return true;
}

// Reads the input's next batch into the queue.
int log_replay::pull(size_t i) {
    input& in = *m_inputs[i];
    const nanos before = in.time;
    if (!in.cursor->next(in.batch)) return in.cursor->failed() ? refuse(in.in, in.cursor->report()) : exit_ok;
    in.time = to_nanos(in.batch.time);
    if (++in.index > 0 && in.time < before) {
        std::fprintf(stderr,
                     "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one before it); "
                     "sort it first: rorezuredi-log retime --sort %s OUT\n",
                     in.in.display().c_str(), in.index, in.in.name.c_str());
        return exit_refused;
    }
    m_queue.emplace_back(in.offset + in.time, i);
    std::push_heap(m_queue.begin(), m_queue.end(), later);
    return exit_ok;
}

int log_replay::advance_to(nanos until) {
    while (next_ready()) {
        ordered& o = m_current[m_next];
        if (o.at > until) return exit_ok;
        if (const int status = apply(o); status != exit_ok) return status;
        ++m_next;
    }
    return m_read_status;
}

// Applies the input's current batch; a refusal is reported as replay would
// meet it: which batch, when, the store's code and the path it names.
int log_replay::apply(ordered& o) {
    event_batch_t& b = o.batch;
    const auto where = [&] {
        return "rorezuredi-log: " + m_inputs[o.input]->in.display() + ": batch " + std::to_string(o.index) +
               " at " + format_seconds(o.time) + " (" + action_name(b.cmd) + ")";
    };
    size_t failed = 0;
    // Without keep_going a refused batch ends the work: its values may go.
    const int code = m_state.apply(b, failed, !m_keep_going);
    if (code == 0) return exit_ok;
    if (!m_keep_going) {
        m_batch_refused = true;
        std::fprintf(stderr, "%s: the store would refuse it: %s at %s\n", where().c_str(),
                     velt::ctl::describe_code(code).c_str(),
                     velt::ctl::escaped(b.events[failed].path).c_str());
        return exit_refused;
    }
    m_skipped += m_state.apply_each(b, [&](size_t e, int c) {
        std::fprintf(stderr, "%s: skipped event %zu, %s: %s\n", where().c_str(), e,
                     velt::ctl::escaped(b.events[e].path).c_str(), velt::ctl::describe_code(c).c_str());
    });
    return exit_ok;
}

}  // namespace logtool
