// What the tests and the benchmarks share: temporary directories, child
// processes with redirections and resource use, polling, and a private veltd
// with its status counters. Failures go to a handler the caller installs:
// tests record them and carry on, benchmarks throw.
#ifndef TEST_KIT_H
#define TEST_KIT_H

#include <sys/types.h>
#include <velt.h>
#include <velt_admin.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kit {

using strings = std::vector<std::string>;

// Replaces the failure handler; the default throws std::runtime_error.
void on_failure(std::function<void(const std::string&)> handler);
void fail(const std::string& message);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// Polls cond every step_ms until it holds or timeout_ms passes; returns its last value.
bool wait_until(const std::function<bool()>& cond, int timeout_ms = 10000, int step_ms = 10);

// A fresh directory, removed with its contents on destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct spawn_options {
    std::string in = "/dev/null";
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    int out_fd = -1;         // when >= 0, standard output goes here instead of `out`
    strings env;             // extra NAME=VALUE entries; VELT_SOCKET is unset unless given
    std::string cwd;         // working directory (empty: the caller's)
    bool own_group = false;  // a process group of its own, out of reach of terminal signals
};

struct usage {
    int status = -1;  // exit status, or 128 + signal number
    double wall = 0;  // seconds from start to reaping
    double cpu = 0;   // user + system seconds
    long max_rss_kib = 0;
};

// A child process; killed (SIGKILL) and reaped on destruction if still running.
class process {
public:
    process(const strings& argv, const spawn_options& opt);
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return m_pid; }
    void signal(int sig) const;
    // Reaps the child if it has exited; true while it runs.
    bool running();
    // Waits for the exit; after timeout_ms (negative: no limit) kills the
    // child and reports a failure.
    const usage& wait(int timeout_ms = -1);

private:
    void reap(int options);

    double m_start;
    pid_t m_pid = -1;
    bool m_reaped = false;
    usage m_usage;
};

// Runs argv[0] (a path) to completion.
usage run(const strings& argv, const spawn_options& opt = {}, int timeout_ms = -1);

// A connection to the store on `socket` (0 when it does not answer).
vlt_handle_t connect(const std::string& socket);
// One counter of the store's status; -1 when the store has no such counter.
long status_value(vlt_handle_t handle, const std::string& name);

// A private veltd on dir/velt.sock; stopped with SIGTERM (SIGKILL if it
// lingers) on destruction.
class store {
public:
    store(const std::string& veltd, const std::string& dir, strings extra_args = {});
    ~store();
    store(const store&) = delete;
    store& operator=(const store&) = delete;

    // Starts the daemon (again) on the same socket and waits until it answers.
    void start();
    // Sends sig and returns the exit status; -1 when the daemon is not running.
    int stop(int sig = SIGTERM);

    const std::string& socket() const { return m_socket; }
    std::string env() const { return "VELT_SOCKET=" + m_socket; }
    pid_t pid() const { return m_daemon ? m_daemon->pid() : -1; }
    std::string err() const { return read_file(m_dir + "/veltd.err"); }

    long status(const std::string& name) const;
    std::vector<velt::admin::dump_entry> dump() const;

private:
    std::string m_veltd;
    std::string m_dir;
    std::string m_socket;
    strings m_extra;
    std::unique_ptr<process> m_daemon;
};

}  // namespace kit

#endif
