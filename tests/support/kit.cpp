#include "kit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kit {

namespace {

std::function<void(const std::string&)>& handler() {
    static std::function<void(const std::string&)> h = [](const std::string& message) {
        throw std::runtime_error(message);
    };
    return h;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void on_failure(std::function<void(const std::string&)> h) {
    handler() = std::move(h);
}

void fail(const std::string& message) {
    handler()(message);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return true;
}

temp_dir::temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "rorezuredi-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) fail(std::string("mkdtemp: ") + strerror(errno));
    m_path = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

process::process(const strings& argv, const spawn_options& opt) : m_start(now()) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid < 0) {
        m_reaped = true;
        fail(std::string("fork: ") + strerror(errno));
        return;
    }
    if (m_pid != 0) return;
    const int in = open(opt.in.c_str(), O_RDONLY);
    const int out = opt.out_fd >= 0 ? opt.out_fd : open(opt.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(opt.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd : {in, out, err})
        if (fd > 2) close(fd);
    if (opt.own_group) setpgid(0, 0);
    unsetenv("VELT_SOCKET");
    for (const auto& e : opt.env) putenv(const_cast<char*>(e.c_str()));
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
}

process::~process() {
    if (!m_reaped) {
        ::kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void process::signal(int sig) const {
    if (!m_reaped) ::kill(m_pid, sig);
}

void process::reap(int options) {
    int st = 0;
    rusage ru{};
    pid_t r = 0;
    while ((r = wait4(m_pid, &st, options, &ru)) < 0 && errno == EINTR) {
    }
    if (r != m_pid) return;
    m_reaped = true;
    m_usage.wall = now() - m_start;
    m_usage.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    m_usage.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    m_usage.max_rss_kib = ru.ru_maxrss;
}

bool process::running() {
    if (!m_reaped) reap(WNOHANG);
    return !m_reaped;
}

const usage& process::wait(int timeout_ms) {
    if (m_reaped) return m_usage;
    if (timeout_ms < 0) {
        reap(0);
    } else if (!wait_until([&] { return !running(); }, timeout_ms, 2)) {
        ::kill(m_pid, SIGKILL);
        reap(0);
        fail("process " + std::to_string(m_pid) + " did not exit within " + std::to_string(timeout_ms) +
             " ms");
    }
    return m_usage;
}

usage run(const strings& argv, const spawn_options& opt, int timeout_ms) {
    process p(argv, opt);
    return p.wait(timeout_ms);
}

vlt_handle_t connect(const std::string& socket) {
    // vlt_init finds the store through VELT_SOCKET; the caller's own setting is kept.
    const char* old = getenv("VELT_SOCKET");
    const std::string saved = old ? old : "";
    setenv("VELT_SOCKET", socket.c_str(), 1);
    const vlt_handle_t h = vlt_init();
    old ? setenv("VELT_SOCKET", saved.c_str(), 1) : unsetenv("VELT_SOCKET");
    return h;
}

long status_value(vlt_handle_t handle, const std::string& name) {
    std::vector<std::pair<std::string, int64_t>> rows;
    if (velt::admin::status(handle, rows) != 0) {
        fail("the store's status request failed");
        return -1;
    }
    for (const auto& [key, value] : rows)
        if (key == name) return long(value);
    return -1;
}

store::store(const std::string& veltd, const std::string& dir, strings extra_args)
    : m_veltd(veltd), m_dir(dir), m_socket(dir + "/velt.sock"), m_extra(std::move(extra_args)) {
    std::filesystem::create_directories(dir);
    start();
}

store::~store() {
    if (m_daemon && m_daemon->running()) {
        m_daemon->signal(SIGTERM);
        if (!wait_until([&] { return !m_daemon->running(); }, 10000, 5)) m_daemon.reset();
    }
}

void store::start() {
    strings argv{m_veltd, "--socket", m_socket};
    argv.insert(argv.end(), m_extra.begin(), m_extra.end());
    spawn_options opt;
    opt.err = m_dir + "/veltd.err";
    opt.own_group = true;
    m_daemon = std::make_unique<process>(argv, opt);
    const bool up = wait_until(
        [&] {
            toolkit::CVelt api;
            api.handle = connect(m_socket);
            return api.handle != 0 || !m_daemon->running();
        },
        10000, 5);
    if (!up || !m_daemon->running()) fail("veltd did not come up: " + err());
}

int store::stop(int sig) {
    if (!m_daemon || !m_daemon->running()) return -1;
    m_daemon->signal(sig);
    return m_daemon->wait(10000).status;
}

long store::status(const std::string& name) const {
    toolkit::CVelt api;
    api.handle = connect(m_socket);
    if (api.handle == 0) return -1;
    return status_value(api.handle, name);
}

std::vector<velt::admin::dump_entry> store::dump() const {
    toolkit::CVelt api;
    api.handle = connect(m_socket);
    std::vector<velt::admin::dump_entry> out;
    if (api.handle == 0 || velt::admin::dump(api.handle, "/", out) != 0)
        fail("the store's dump request failed");
    return out;
}

}  // namespace kit
