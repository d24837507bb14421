// The event records that hold a parsed log in memory, and their ordering.
#include <algorithm>
#include <utility>

#include "rorezuredi.h"

// The one process-wide state record (constructed before main, destroyed at exit).
ProgramState program_state;

// ---- event_instance_t ------------------------------------------------------

// The value is copied with its own timestamp: _invalid_time means "keep it".
event_instance_t::event_instance_t(const event_instance_t& other)
    : path(other.path), type(other.type), value(other.value, toolkit::CElement::_invalid_time) {}

event_instance_t::event_instance_t(event_instance_t&& other) noexcept
    : path(std::move(other.path)),
      type(other.type),
      value(std::move(other.value), toolkit::CElement::_invalid_time) {
    other.path.clear();
}

// Exchanges the paths, so the source ends up holding the destination's former
// path and no string is copied.
event_instance_t& event_instance_t::operator=(event_instance_t&& other) noexcept {
    if (this != &other) {
        path.swap(other.path);
        type = other.type;
        value = std::move(other.value);
    }
    return *this;
}

// Members go in reverse order of declaration: value first, then path.
event_instance_t::~event_instance_t() = default;

// ---- event_batch_t ---------------------------------------------------------

// Reserves exactly the source's number of events, then copies them in order.
// Should a copy throw, the member vector releases what was made so far.
event_batch_t::event_batch_t(const event_batch_t& other) : time(other.time), cmd(other.cmd) {
    events.reserve(other.events.size());
    for (const event_instance_t& ev : other.events) events.push_back(ev);
}

// Takes over the source's storage; the source keeps an empty vector without storage.
event_batch_t::event_batch_t(event_batch_t&& other) noexcept
    : time(other.time), cmd(other.cmd), events(std::move(other.events)) {}

// Destroys the destination's events but keeps their storage, then exchanges
// the vectors: the source is left empty, holding the destination's old storage.
event_batch_t& event_batch_t::operator=(event_batch_t&& other) noexcept {
    if (this != &other) {
        time = other.time;
        cmd = other.cmd;
        events.clear();
        events.swap(other.events);
    }
    return *this;
}

event_batch_t::~event_batch_t() = default;

bool event_batch_t::operator<(const event_batch_t& other) const {
    if (time.tv_sec < other.time.tv_sec) return true;
    if (time.tv_sec > other.time.tv_sec) return false;
    return time.tv_nsec < other.time.tv_nsec;
}

void sort_batches(std::vector<event_batch_t>& batches) {
    std::sort(batches.begin(), batches.end());
}
