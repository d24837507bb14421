// rorezuredi driver: command line, run mode, the connection to the store and
// the exit status.
#include "rorezuredi.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

void usage(const char* str) {
    fputs("Usage:\n", stderr);
    fprintf(stderr,
            "%s [-f <file> | -l <file>] [-p <path> [-p <path> ...]] [-x <path> [-x <path> ...]] "
            "[-a <attr> [-a <attr> ...]] [-i <attr> [-i <attr> ...]] [-t] [-d | -w <delay>] [-v]\n",
            str);
    fputs("\t-f: Save event data to <file> (default: stdout)\n", stderr);
    fputs("\t-l: Replay event data from <file>\n", stderr);
    fputs("\t-p: Dump/load only events under <path>\n", stderr);
    fputs("\t-x: Dump/load only events not under <path>\n", stderr);
    fputs("\t-a: Dump/load SET_LEAF events only when attribute matches <attr>\n", stderr);
    fputs("\t-i: Dump/load SET_LEAF events only when attribute doesn't match <attr>\n", stderr);
    fputs("\t-t: Preserve original timestamps [replay only]\n", stderr);
    fputs("\t-d: Use original timing delays [replay only]\n", stderr);
    fputs("\t-w: Wait <delay> microseconds between actions [replay only]\n", stderr);
    fputs("\t-v: Print version info. to stdout and exit\n\n", stderr);
}

void version(const char* str) {
    printf("%s: version %s\n", str, ROREZUREDI_VERSION);
    printf("Build date: %s %s\n", __DATE__, __TIME__);
    puts("$Revision: 47107 $\n");
}

FILE* open_data_file(bool for_write) {
    const tk_string& name = program_state.data_file_name;
    if (name.empty()) return for_write ? stdout : stdin;
    FILE* f = fopen(name.c_str(), for_write ? "wt" : "rt");
    if (!f) fprintf(stderr, "Error: can't open file at '%s'\n", name.c_str());
    return f;
}

namespace {

enum ParseResult { PARSE_OK, PARSE_REJECT, PARSE_VERSION };

// Fills program_state from argv; stops at the first rejection or at "-v".
ParseResult parse_command_line(int argc, char** argv) {
    ProgramState& ps = program_state;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const auto is = [arg](const char* opt) { return strcmp(arg, opt) == 0; };

        if (is("-v")) return PARSE_VERSION;

        const bool takes_value =
            is("-f") || is("-p") || is("-x") || is("-a") || is("-i") || is("-l") || is("-w");
        const bool flag = is("-d") || is("-t");
        if (!takes_value && !flag) return PARSE_REJECT;

        const char* value = nullptr;
        if (takes_value) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return PARSE_REJECT;
            value = argv[++i];
        }

        if (is("-f")) {
            if (ps.mode == RUN_MODE_REPLAY) return PARSE_REJECT;
            ps.data_file_name = value;
            ps.mode = RUN_MODE_CAPTURE;
        } else if (is("-p")) {
            if (!ps.exclude_paths.empty()) return PARSE_REJECT;
            ps.include_paths.emplace_back(value);
            toolkit::CElement::canonicalize_path(ps.include_paths.back());
        } else if (is("-x")) {
            if (!ps.include_paths.empty()) return PARSE_REJECT;
            ps.exclude_paths.emplace_back(value);
            toolkit::CElement::canonicalize_path(ps.exclude_paths.back());
        } else if (is("-a")) {
            if (!ps.exclude_attrs.empty()) return PARSE_REJECT;
            ps.include_attrs.insert(value);
        } else if (is("-i")) {
            if (!ps.include_attrs.empty()) return PARSE_REJECT;
            ps.exclude_attrs.insert(value);
        } else if (is("-l")) {
            if (ps.mode == RUN_MODE_CAPTURE) return PARSE_REJECT;
            ps.data_file_name = value;
            ps.mode = RUN_MODE_REPLAY;
        } else if (is("-d")) {
            if (ps.mode == RUN_MODE_CAPTURE) return PARSE_REJECT;
            ps.mode = RUN_MODE_REPLAY;
            ps.use_original_delays = true;
            if (ps.wait_delay_us > 0) return PARSE_REJECT;
        } else if (is("-t")) {
            if (ps.mode == RUN_MODE_CAPTURE) return PARSE_REJECT;
            ps.mode = RUN_MODE_REPLAY;
            ps.preserve_timestamps = true;
        } else {  // "-w"
            if (ps.mode == RUN_MODE_CAPTURE) return PARSE_REJECT;
            ps.mode = RUN_MODE_REPLAY;
            const long delay = atol(value);
            if (delay <= 0) {
                fprintf(stderr, "Error: bad delay value: %ld\n", delay);
                return PARSE_REJECT;
            }
            ps.wait_delay_us = delay;
            if (ps.use_original_delays) return PARSE_REJECT;
        }
    }
    if (ps.mode == RUN_MODE_UNSET) ps.mode = RUN_MODE_CAPTURE;
    return PARSE_OK;
}

int run_replay() {
    FILE* log = open_data_file(false);
    if (!log) return -1;
    if (parse_xml_file(log) != 0) return -1;
    return process_event_batches();
}

// The regular file a capture writes its log into, known by device and inode
// so that a failed capture removes that file and nothing else.
struct log_identity {
    bool regular = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

log_identity identify_log(FILE* log) {
    log_identity id;
    struct stat st;
    if (fstat(fileno(log), &st) == 0 && S_ISREG(st.st_mode)) {
        id.regular = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    return id;
}

// Unlinks name only while it still is the regular file the log was written
// to: a FIFO, a device, a symbolic link, or a file put there since, stays.
void remove_log(const tk_string& name, const log_identity& id) {
    struct stat st;
    if (!id.regular || lstat(name.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode) && st.st_dev == id.dev && st.st_ino == id.ino) unlink(name.c_str());
}

// Writes the closing root element, flushes and closes the log; returns the
// errno of the first of these that failed, 0 when all went through.
int close_log(FILE* log) {
    errno = 0;
    write_log_tail(log);
    int err = 0;
    if (fflush(log) != 0 || ferror(log)) err = errno != 0 ? errno : EIO;
    errno = 0;
    if (fclose(log) != 0 && err == 0) err = errno != 0 ? errno : EIO;
    return err;
}

int run_capture() {
    ProgramState& ps = program_state;
    if (register_for_changes() != 0) return 1;

    // A log on a pipe whose reader has gone must fail like any other write
    // (EPIPE, reported), not kill the capture without a word.
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    // The log's buffer; it outlives the stream, which is closed below.
    std::vector<char> log_buffer;
    FILE* log = open_data_file(true);
    if (!log) return -1;
    const log_identity log_id = identify_log(log);
    // Only this thread writes the log: a larger buffer than stdio's 4 KiB and
    // no per-call locking keep the formatted writes cheap under heavy traffic.
    // A terminal keeps its line buffering so that events show as they come.
    if (!isatty(fileno(log))) {
        log_buffer.resize(size_t{256} * 1024);
        setvbuf(log, log_buffer.data(), _IOFBF, log_buffer.size());
    }
    __fsetlocking(log, FSETLOCKING_BYCALLER);

    ps.clock_origin.tv_sec = -1;
    errno = 0;
    write_log_head(log);
    int status = 0;
    if (ferror(log)) {
        report_log_write_error(errno);
        status = 1;
    }

    register_handlers();
    select_fd1 = __signal_pipepair[0];
    select_fd2 = ps.api.is_initialized() ? vlt_get_fd(ps.api.handle) : -1;

    while (status == 0 && running) {
        if (capture_event_batch(log) != 0) status = 1;
    }

    // A write failure has been reported already; one in the closing is
    // reported here, and fails a capture that a signal ended.
    const bool write_failed = ferror(log) != 0;
    // A further signal must not cut short the last flush; it is taken after it.
    sigset_t saved;
    hold_termination_signals(saved);
    const int close_errno = close_log(log);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (close_errno != 0 && !write_failed) {
        report_log_write_error(close_errno);
        status = 1;
    }
    if (status != 0 && !ps.data_file_name.empty()) remove_log(ps.data_file_name, log_id);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const char* prog = argc > 0 && argv[0] ? argv[0] : "rorezuredi";

    switch (parse_command_line(argc, argv)) {
        case PARSE_VERSION: version(prog); return 0;
        case PARSE_REJECT: usage(prog); return 1;
        case PARSE_OK: break;
    }

    ProgramState& ps = program_state;
    if (!ps.api.is_initialized()) {
        ps.api.handle = vlt_init();
        if (ps.api.handle == 0) {
            fprintf(stderr, "Error: can't connect to VELT\n");
            return 1;
        }
    }

    const int status = ps.mode == RUN_MODE_REPLAY ? run_replay() : run_capture();

    if (ps.api.is_initialized()) {
        vlt_close(ps.api.handle);
        ps.api.handle = 0;
    }
    return status;
}
