// What the benchmarks share, on top of the test kit: timing, redirections
// by file name, and a private veltd that this process's clients reach.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"

namespace bench {

using steady = std::chrono::steady_clock;

inline double seconds(steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

[[noreturn]] inline void fail(const std::string& message) {
    throw std::runtime_error(message);
}

inline void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

using kit::read_file;
using work_dir = kit::temp_dir;
using run_result = kit::usage;

// Where a child's standard streams go.
struct redirect {
    std::string in = "/dev/null";
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    int out_fd = -1;  // when >= 0, standard output goes to this descriptor instead
};

// The child reaches the store on `socket` (none when empty).
inline kit::spawn_options spawn_options(const std::string& socket, const redirect& io) {
    kit::spawn_options opt;
    opt.in = io.in;
    opt.out = io.out;
    opt.err = io.err;
    opt.out_fd = io.out_fd;
    if (!socket.empty()) opt.env.push_back("VELT_SOCKET=" + socket);
    return opt;
}

inline run_result run(const std::vector<std::string>& argv, const std::string& socket = "",
                      const redirect& io = {}) {
    return kit::run(argv, spawn_options(socket, io));
}

// A child in the background: killed and reaped on destruction if still running.
class child : public kit::process {
public:
    child(const std::vector<std::string>& argv, const std::string& socket, const redirect& io)
        : kit::process(argv, spawn_options(socket, io)) {}
    bool exited() { return !running(); }
    run_result wait() { return kit::process::wait(); }
};

// A private veltd on a socket of its own, which in-process clients reach
// too. Its status is read over one connection held open, so that polling
// costs the store no connects while it is measured.
class store : public kit::store {
public:
    store(const std::string& veltd, const std::string& dir) : kit::store(veltd, dir) {
        setenv("VELT_SOCKET", socket().c_str(), 1);
        m_api.handle = kit::connect(socket());
        if (m_api.handle == 0) fail("cannot reach veltd at " + socket());
    }
    long status_value(const std::string& name) const {
        const long v = kit::status_value(m_api.handle, name);
        if (v < 0) fail("status lacks " + name);
        return v;
    }

private:
    toolkit::CVelt m_api;
};

}  // namespace bench

#endif
