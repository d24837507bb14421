// Test harness: runs the built programs as child processes, gives each test a
// private veltd on a socket in its own temporary directory, and builds event
// log text.
#ifndef TEST_HARNESS_H
#define TEST_HARNESS_H

#include "kit.h"

namespace harness {

using kit::strings;

struct options {
    std::string input;       // fed to standard input (empty: /dev/null contents)
    strings env;             // extra NAME=VALUE entries; VELT_SOCKET is unset unless given
    std::string cwd;         // working directory (empty: the test's own)
    int timeout_ms = 60000;  // run() kills the child and fails the test after this
};

struct result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    long max_rss_kib = 0;  // the child's peak resident size
};

// Runs argv[0] (a path) to completion.
result run(const strings& argv, const options& opt = {});

using kit::read_file, kit::temp_dir, kit::wait_until, kit::write_file;
bool file_exists(const std::string& path);
strings lines_of(const std::string& text);
// A numeric field of /proc/PID/status (sizes in KiB are decimal, signal masks
// hex); -1 when it is missing.
long proc_status(pid_t pid, const std::string& field, int base = 10);

// A child running in the background; its output goes to files. Killed
// (SIGKILL) and reaped on destruction if still running.
class process {
public:
    process(const strings& argv, const options& opt = {});

    pid_t pid() const { return m_proc.pid(); }
    void signal(int sig) const { m_proc.signal(sig); }
    bool running() { return m_proc.running(); }
    // Waits for the exit and returns the status as result::status does;
    // kills the child and fails the test after timeout_ms.
    int wait(int timeout_ms = 30000) { return m_proc.wait(timeout_ms).status; }
    std::string out() const { return read_file(m_dir.file("out")); }
    std::string err() const { return read_file(m_dir.file("err")); }

private:
    temp_dir m_dir;
    kit::process m_proc;
};

// Holds the directory a private_store lives in; a base so that it comes first.
struct store_dir {
    temp_dir dir;
};

// A private veltd in a temporary directory of its own.
class private_store : private store_dir, public kit::store {
public:
    explicit private_store(strings extra_args = {});

    void kill() { stop(SIGKILL); }

    // Runs veltctl against this store.
    result ctl(const strings& args, const std::string& input = "") const;
    // Like ctl, but fails the test unless veltctl exits 0; returns its standard output.
    std::string ctl_ok(const strings& args, const std::string& input = "") const;
    std::string dump(bool times = false) const;
    long status_value(const std::string& name) const { return status(name); }
    // Sets VELT_SOCKET in this process so that in-process vlt_init reaches this store.
    void use_in_process() const;
};

// One rorezuredi capture against a store, in its own working directory; the
// log is cwd/log.xml, or standard output when to_file is false.
class capture {
public:
    capture(const private_store& store, const strings& args = {}, bool to_file = true);
    // Subscribed, log open and handlers installed: changes made now are captured.
    bool ready();
    // Lets every delivered batch be taken, then sends sig and returns the status.
    int stop(int sig = SIGTERM);
    process& proc() { return *m_proc; }
    std::string log_path() const { return cwd.file("log.xml"); }
    std::string log() const { return read_file(log_path()); }

    temp_dir cwd;

private:
    const private_store& m_store;
    std::unique_ptr<process> m_proc;
};

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's shadow memory and quarantine inflate every process.
constexpr long memory_factor = 4;
#else
constexpr long memory_factor = 1;
#endif

// The termination signals a capture handles, as a SigCgt mask.
constexpr unsigned long termination_mask =
    (1ul << (SIGHUP - 1)) | (1ul << (SIGINT - 1)) | (1ul << (SIGQUIT - 1)) | (1ul << (SIGTERM - 1));

// Runs rorezuredi -l against the store on `log`, written to a temporary file.
result replay(const private_store& store, const std::string& log, const strings& args = {});

// ---- Event log text, as capture writes it ----

constexpr char log_decl[] = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n";
std::string log_event(const std::string& path, const std::string& time = "");
std::string log_leaf(const std::string& path, const std::string& type, const std::string& text,
                     const std::string& time = "");
std::string log_batch(const std::string& time, const std::string& action, const std::string& events);
// Prolog, root, a start element, the batches and the root's end.
std::string log_document(const std::string& batches, const std::string& prolog = log_decl);

}  // namespace harness

#endif
