#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

int decode_status(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

// Forks and execs argv with stdin from in_path and output to out_path/err_path.
pid_t spawn(const std::vector<std::string>& argv, const options& opt, const std::string& in_path,
            const std::string& out_path, const std::string& err_path) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return -1;
    }
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        // Own process group, so that a signal aimed at the test runner's
        // terminal group does not reach it.
        setpgid(0, 0);
        unsetenv("VELT_SOCKET");
        for (const auto& e : opt.env) putenv(const_cast<char*>(e.c_str()));
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

temp_dir::temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "rrz-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    m_path = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

result run(const std::vector<std::string>& argv, const options& opt) {
    temp_dir dir;
    std::string in_path = dir.file("in");
    write_file(in_path, opt.input);
    pid_t pid = spawn(argv, opt, in_path, dir.file("out"), dir.file("err"));
    result r;
    if (pid < 0) return r;
    int wstatus = 0;
    rusage ru{};
    bool done = wait_until([&] { return wait4(pid, &wstatus, WNOHANG, &ru) == pid; }, opt.timeout_ms, 2);
    if (!done) {
        ::kill(pid, SIGKILL);
        wait4(pid, &wstatus, 0, &ru);
        ADD_FAILURE() << argv[0] << " did not finish within " << opt.timeout_ms << " ms";
    }
    r.status = decode_status(wstatus);
    r.max_rss_kib = ru.ru_maxrss;
    r.out = read_file(dir.file("out"));
    r.err = read_file(dir.file("err"));
    return r;
}

process::process(const std::vector<std::string>& argv, const options& opt) {
    std::string in_path = m_dir.file("in");
    write_file(in_path, opt.input);
    m_pid = spawn(argv, opt, in_path, m_dir.file("out"), m_dir.file("err"));
}

process::~process() {
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        int wstatus;
        waitpid(m_pid, &wstatus, 0);
    }
}

void process::signal(int sig) const {
    if (m_pid > 0 && !m_reaped) ::kill(m_pid, sig);
}

bool process::running() {
    if (m_pid <= 0 || m_reaped) return false;
    int wstatus;
    if (waitpid(m_pid, &wstatus, WNOHANG) == m_pid) {
        m_reaped = true;
        m_status = decode_status(wstatus);
        return false;
    }
    return true;
}

int process::wait(int timeout_ms) {
    if (m_pid <= 0) return -1;
    if (!wait_until([&] { return !running(); }, timeout_ms, 2)) {
        ::kill(m_pid, SIGKILL);
        int wstatus;
        waitpid(m_pid, &wstatus, 0);
        m_reaped = true;
        m_status = 128 + SIGKILL;
        ADD_FAILURE() << "process " << m_pid << " did not exit within " << timeout_ms << " ms";
    }
    return m_status;
}

private_store::private_store() : m_socket(m_dir.file("velt.sock")) {
    m_daemon = std::make_unique<process>(std::vector<std::string>{VELTD_BIN, "--socket", m_socket});
    bool up = wait_until([&] { return run({VELTCTL_BIN, "ping"}, {.env = {env()}}).status == 0; },
                         10000, 5);
    if (!up) ADD_FAILURE() << "veltd did not come up: " << m_daemon->err();
}

private_store::~private_store() { stop(); }

result private_store::ctl(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> argv{VELTCTL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {.input = input, .env = {env()}});
}

std::string private_store::ctl_ok(const std::vector<std::string>& args,
                                  const std::string& input) const {
    result r = ctl(args, input);
    std::string joined;
    for (const auto& a : args) joined += " " + a;
    EXPECT_EQ(r.status, 0) << "veltctl" << joined << ": " << r.err;
    return r.out;
}

std::string private_store::dump(bool times) const {
    return times ? ctl_ok({"dump", "--times"}) : ctl_ok({"dump"});
}

long private_store::status_value(const std::string& name) const {
    result r = ctl({"status"});
    std::istringstream lines(r.out);
    std::string key;
    long value;
    while (lines >> key >> value)
        if (key == name) return value;
    return -1;
}

void private_store::use_in_process() const { setenv("VELT_SOCKET", m_socket.c_str(), 1); }

void private_store::stop() {
    if (m_daemon && m_daemon->running()) {
        m_daemon->signal(SIGTERM);
        m_daemon->wait(10000);
    }
}

void private_store::kill() {
    if (m_daemon && m_daemon->running()) {
        m_daemon->signal(SIGKILL);
        m_daemon->wait(10000);
    }
}

}  // namespace harness
