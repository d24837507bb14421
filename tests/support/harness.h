// Test harness: runs the built programs as child processes and gives each
// test a private veltd on a socket in its own temporary directory.
#ifndef TEST_HARNESS_H
#define TEST_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace harness {

struct options {
    std::string input;             // fed to standard input (empty: /dev/null contents)
    std::vector<std::string> env;  // extra NAME=VALUE entries; VELT_SOCKET is unset unless given
    std::string cwd;               // working directory (empty: the test's own)
    int timeout_ms = 60000;        // run() kills the child and fails the test after this
};

struct result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    long max_rss_kib = 0;  // the child's peak resident size (run() only)
};

// Runs argv[0] (a path) to completion.
result run(const std::vector<std::string>& argv, const options& opt = {});

// Polls cond every step_ms until it holds or timeout_ms passes; returns its last value.
bool wait_until(const std::function<bool()>& cond, int timeout_ms = 10000, int step_ms = 10);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

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

// A child running in the background; its output goes to files. Killed
// (SIGKILL) and reaped on destruction if still running.
class process {
public:
    process(const std::vector<std::string>& argv, const options& opt = {});
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return m_pid; }
    void signal(int sig) const;
    bool running();
    // Waits for the exit and returns the status as result::status does;
    // kills the child and fails the test after timeout_ms.
    int wait(int timeout_ms = 30000);
    std::string out() const { return read_file(m_dir.file("out")); }
    std::string err() const { return read_file(m_dir.file("err")); }

private:
    temp_dir m_dir;
    pid_t m_pid = -1;
    int m_status = -1;
    bool m_reaped = false;
};

// A private veltd; stopped with SIGTERM (SIGKILL if it lingers) on destruction.
class private_store {
public:
    private_store();
    ~private_store();
    private_store(const private_store&) = delete;
    private_store& operator=(const private_store&) = delete;

    const std::string& socket() const { return m_socket; }
    std::string env() const { return "VELT_SOCKET=" + m_socket; }
    pid_t pid() const { return m_daemon->pid(); }
    process& daemon() { return *m_daemon; }

    // Runs veltctl against this store.
    result ctl(const std::vector<std::string>& args, const std::string& input = "") const;
    // Like ctl, but fails the test unless veltctl exits 0; returns its standard output.
    std::string ctl_ok(const std::vector<std::string>& args, const std::string& input = "") const;
    std::string dump(bool times = false) const;
    long status_value(const std::string& name) const;  // -1 when not found
    // Sets VELT_SOCKET in this process so that in-process vlt_init reaches this store.
    void use_in_process() const;

    void stop();  // SIGTERM and wait
    void kill();  // SIGKILL and wait

private:
    temp_dir m_dir;
    std::string m_socket;
    std::unique_ptr<process> m_daemon;
};

}  // namespace harness

#endif
