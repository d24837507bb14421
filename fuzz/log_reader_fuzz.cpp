// Fuzz target: arbitrary bytes as an event log, read in process by the same
// reader that replay uses, without a store.
//
// Besides surviving every input, an accepted log must hold only what replay
// can apply (known commands, valid batch times, events with paths and typed
// values), each value must read back from its own text form, and writing
// the batches out again in the log format must read back to the same batches.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_log.h"

namespace {

FILE* real_stderr = nullptr;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(real_stderr, "invariant broken: %s\n", what);
        std::fflush(real_stderr);
        std::abort();
    }
}

// Reads `bytes` as a log; the batches read are left in program_state.
int read_log(std::vector<char>& bytes) {
    const int rc = read_memory_log(bytes.data(), bytes.size());
    check(rc != memory_log_unopened, "fmemopen");
    return rc;
}

// Reads `bytes` with a reader bound to fields of its own, as the toolbox
// does, keeping the batches with events; true when the read succeeded.
bool read_with_own_reader(std::vector<char>& bytes, std::vector<event_batch_t>& kept) {
    char spare = 0;
    FILE* log = fmemopen(bytes.empty() ? &spare : bytes.data(), bytes.size(), "r");
    check(log != nullptr, "fmemopen");
    log_reader_fields_t fields;
    log_reader_t reader = bind_log_reader(fields, [&kept](event_batch_t& b) {
        if (!b.events.empty()) kept.push_back(b);
    });
    int r = begin_log_read(reader) == 0 ? 1 : -1;
    while (r > 0) r = read_log_piece(reader, log);
    end_log_read(reader);
    std::fclose(log);
    check(r != 0 || !reader.report.failed(), "a read that succeeded reports a failure");
    check(r == 0 || reader.report.failed(), "a read that failed reports none");
    return r == 0;
}

bool valid_cmd(api_cmd_t cmd) {
    return cmd == CMD_ADD_NODE || cmd == CMD_REMOVE_NODE || cmd == CMD_SET_LEAF || cmd == CMD_CLEAR_LEAF;
}

// What replay relies on in an accepted log.
void check_batches(const std::vector<event_batch_t>& batches) {
    for (const event_batch_t& b : batches) {
        check(valid_cmd(b.cmd), "batch with an unknown command");
        check(b.time.tv_sec >= 0 && b.time.tv_nsec >= 0 && b.time.tv_nsec <= 999999999,
              "batch time out of range");
        check(!b.events.empty(), "empty batch kept");
        for (const event_instance_t& ev : b.events) {
            check(!ev.path.empty(), "event without path");
            if (b.cmd != CMD_SET_LEAF) {
                check(ev.value.type() == DATATYPE_INVALID, "node event with a value");
                continue;
            }
            check(ev.type != DATATYPE_INVALID, "leaf event without type");
            check(ev.value.type() == ev.type, "leaf value of another type than declared");
            // The value's text form converts back to the same value.
            toolkit::CElement text;
            text.set_string(ev.value.to_string());
            check(text.convert_type(ev.type) == 0, "value's own text does not convert back");
            check(text.same_value(ev.value), "value changed through its text form");
        }
    }
}

// The batches in the log format, as capture writes them.
std::vector<char> write_log(const std::vector<event_batch_t>& batches) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    check(out != nullptr, "open_memstream");
    write_log_head(out);
    for (const event_batch_t& b : batches) write_batch(out, b);
    write_log_tail(out);
    std::fclose(out);
    std::vector<char> text(data, data + size);
    std::free(data);
    return text;
}

bool same_batches(const std::vector<event_batch_t>& a, const std::vector<event_batch_t>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].cmd != b[i].cmd || a[i].time.tv_sec != b[i].time.tv_sec ||
            a[i].time.tv_nsec != b[i].time.tv_nsec || a[i].events.size() != b[i].events.size())
            return false;
        for (size_t j = 0; j < a[i].events.size(); ++j) {
            const event_instance_t& x = a[i].events[j];
            const event_instance_t& y = b[i].events[j];
            if (x.path != y.path || !x.value.same_value(y.value) ||
                x.value.timestamp().tv_sec != y.value.timestamp().tv_sec ||
                x.value.timestamp().tv_usec != y.value.timestamp().tv_usec)
                return false;
            if (a[i].cmd == CMD_SET_LEAF && x.type != y.type) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader reports on stdout and stderr for every input; send that to
    // /dev/null through buffered streams. libFuzzer and the sanitizers keep
    // writing to the original descriptors.
    real_stderr = stderr;
    FILE* null_out = std::fopen("/dev/null", "w");
    if (null_out == nullptr) return 0;
    std::setvbuf(null_out, nullptr, _IOFBF, 1 << 16);
    stdout = null_out;
    stderr = null_out;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> bytes(data, data + size);
    std::vector<event_batch_t> own;
    const bool own_ok = read_with_own_reader(bytes, own);
    const bool ok = read_log(bytes) == 0;
    check(own_ok == ok, "a reader of its own and replay's reader differ in their verdict");
    if (!ok) return 0;
    check(same_batches(own, program_state.batches), "a reader of its own keeps other batches than replay's");
    check(program_state.parser == nullptr, "parser left behind");
    check(!program_state.batch_in_progress && !program_state.event_in_progress,
          "accepted log with an element still open");

    std::vector<event_batch_t> first = std::move(program_state.batches);
    check_batches(first);

    std::vector<char> rewritten = write_log(first);
    check(read_log(rewritten) == 0, "rewritten log refused");
    check(same_batches(first, program_state.batches), "rewritten log reads back differently");
    program_state.batches.clear();
    return 0;
}
