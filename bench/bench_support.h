// What the benchmarks share: scratch directories, child processes with
// their resource use, and a private veltd to measure against.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <velt++.h>
#include <velt_admin.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

using steady = std::chrono::steady_clock;

inline double seconds(steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

[[noreturn]] inline void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// A fresh directory, removed with its contents on destruction.
class work_dir {
public:
    work_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "rorezuredi-bench-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) fail("mkdtemp failed");
        m_path = tmpl;
    }
    ~work_dir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds
    long maxrss_kb = 0;
};

// Where a child's standard streams go.
struct redirect {
    std::string in = "/dev/null";
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    int out_fd = -1;  // when >= 0, standard output goes to this descriptor instead
};

// Starts argv[0] with VELT_SOCKET set to `socket` (when not empty).
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& socket, const redirect& io) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        if (!socket.empty()) setenv("VELT_SOCKET", socket.c_str(), 1);
        const int in = open(io.in.c_str(), O_RDONLY);
        const int out = io.out_fd >= 0 ? io.out_fd : open(io.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(io.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

inline run_result reap(pid_t pid, steady::time_point start) {
    int st = 0;
    rusage ru{};
    while (wait4(pid, &st, 0, &ru) < 0) {
        if (errno != EINTR) fail("wait4 failed");
    }
    run_result r;
    r.wall = seconds(steady::now() - start);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.maxrss_kb = ru.ru_maxrss;
    return r;
}

inline run_result run(const std::vector<std::string>& argv, const std::string& socket = "",
                      const redirect& io = {}) {
    const auto start = steady::now();
    return reap(spawn(argv, socket, io), start);
}

// A child in the background: killed and reaped on destruction if still running.
class child {
public:
    child(const std::vector<std::string>& argv, const std::string& socket, const redirect& io)
        : m_start(steady::now()), m_pid(spawn(argv, socket, io)) {}
    ~child() {
        if (m_pid > 0) {
            // Not reap(): a destructor must not throw.
            kill(m_pid, SIGKILL);
            while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    void signal(int sig) const { kill(m_pid, sig); }
    bool exited() {
        if (m_pid <= 0) return true;
        int st = 0;
        rusage ru{};
        const pid_t r = wait4(m_pid, &st, WNOHANG, &ru);
        if (r != m_pid) return false;
        m_result.wall = seconds(steady::now() - m_start);
        m_result.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        m_result.maxrss_kb = ru.ru_maxrss;
        m_pid = -1;
        return true;
    }
    run_result wait() {
        if (m_pid > 0) {
            m_result = reap(m_pid, m_start);
            m_pid = -1;
        }
        return m_result;
    }

private:
    steady::time_point m_start;
    pid_t m_pid;
    run_result m_result;
};

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A private veltd on a socket of its own; stopped on destruction.
class store {
public:
    store(const std::string& veltd, const std::string& dir) : m_socket(dir + "/velt.sock") {
        std::filesystem::create_directories(dir);
        redirect io;
        io.err = dir + "/veltd.err";
        m_daemon = std::make_unique<child>(std::vector<std::string>{veltd, "--socket", m_socket}, "", io);
        for (int i = 0; i < 400; ++i) {
            m_api.handle = connect();
            if (m_api.handle != 0) return;
            sleep_ms(10);
        }
        fail("veltd did not come up: " + read_file(io.err));
    }
    ~store() {
        if (m_api.handle != 0) vlt_close(m_api.handle);
        m_api.handle = 0;
        if (m_daemon) {
            m_daemon->signal(SIGTERM);
            m_daemon->wait();
        }
    }
    store(const store&) = delete;
    store& operator=(const store&) = delete;

    const std::string& socket() const { return m_socket; }

    long status_value(const std::string& name) {
        std::vector<std::pair<std::string, int64_t>> values;
        if (velt::admin::status(m_api.handle, values) != 0) fail("status failed");
        for (const auto& [key, value] : values)
            if (key == name) return long(value);
        fail("status lacks " + name);
    }

    std::vector<velt::admin::dump_entry> dump() {
        std::vector<velt::admin::dump_entry> out;
        if (velt::admin::dump(m_api.handle, "/", out) != 0) fail("dump failed");
        return out;
    }

private:
    vlt_handle_t connect() const {
        setenv("VELT_SOCKET", m_socket.c_str(), 1);
        return vlt_init();
    }

    std::string m_socket;
    std::unique_ptr<child> m_daemon;
    toolkit::CVelt m_api;
};

}  // namespace bench

#endif
