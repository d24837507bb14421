#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

// Forks and execs argv with stdin from in_path and output to out_path/err_path.
pid_t spawn(const strings& argv, const options& opt, const std::string& in_path, const std::string& out_path,
            const std::string& err_path) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) ADD_FAILURE() << "fork: " << strerror(errno);
    if (pid != 0) return pid;
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

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

strings lines_of(const std::string& text) {
    strings out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

long proc_status(pid_t pid, const std::string& field, int base) {
    for (const std::string& line : lines_of(read_file("/proc/" + std::to_string(pid) + "/status")))
        if (line.rfind(field + ":", 0) == 0)
            return long(std::stoul(line.substr(field.size() + 1), nullptr, base));
    return -1;
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
    std::string tmpl = (std::filesystem::temp_directory_path() / "rrz-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    m_path = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

result run(const strings& argv, const options& opt) {
    process p(argv, opt);
    result r;
    r.status = p.wait(opt.timeout_ms);
    r.max_rss_kib = p.max_rss_kib();
    r.out = p.out();
    r.err = p.err();
    return r;
}

process::process(const strings& argv, const options& opt) {
    write_file(m_dir.file("in"), opt.input);
    m_pid = spawn(argv, opt, m_dir.file("in"), m_dir.file("out"), m_dir.file("err"));
    if (m_pid < 0) m_reaped = true;
}

process::~process() {
    if (!m_reaped) {
        ::kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void process::reap(int wstatus, long max_rss_kib) {
    m_reaped = true;
    m_max_rss_kib = max_rss_kib;
    if (WIFEXITED(wstatus)) m_status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) m_status = 128 + WTERMSIG(wstatus);
}

void process::signal(int sig) const {
    if (!m_reaped) ::kill(m_pid, sig);
}

bool process::running() {
    int wstatus = 0;
    rusage ru{};
    if (!m_reaped && wait4(m_pid, &wstatus, WNOHANG, &ru) == m_pid) reap(wstatus, ru.ru_maxrss);
    return !m_reaped;
}

int process::wait(int timeout_ms) {
    if (!wait_until([&] { return !running(); }, timeout_ms, 2)) {
        ::kill(m_pid, SIGKILL);
        int wstatus = 0;
        rusage ru{};
        wait4(m_pid, &wstatus, 0, &ru);
        reap(wstatus, ru.ru_maxrss);
        ADD_FAILURE() << "process " << m_pid << " did not exit within " << timeout_ms << " ms";
    }
    return m_status;
}

private_store::private_store(strings extra_args)
    : m_socket(m_dir.file("velt.sock")), m_extra(std::move(extra_args)) {
    start();
}

private_store::~private_store() {
    stop();
}

void private_store::start() {
    strings argv{VELTD_BIN, "--socket", m_socket};
    argv.insert(argv.end(), m_extra.begin(), m_extra.end());
    m_daemon = std::make_unique<process>(argv);
    if (!wait_until([&] { return ctl({"ping"}).status == 0; }, 10000, 5))
        ADD_FAILURE() << "veltd did not come up: " << m_daemon->err();
}

int private_store::stop(int sig) {
    if (!m_daemon || !m_daemon->running()) return -1;
    m_daemon->signal(sig);
    return m_daemon->wait(10000);
}

result private_store::ctl(const strings& args, const std::string& input) const {
    strings argv{VELTCTL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {.input = input, .env = {env()}});
}

std::string private_store::ctl_ok(const strings& args, const std::string& input) const {
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
    std::istringstream lines(ctl({"status"}).out);
    std::string key;
    long value = 0;
    while (lines >> key >> value)
        if (key == name) return value;
    return -1;
}

void private_store::use_in_process() const {
    setenv("VELT_SOCKET", m_socket.c_str(), 1);
}

capture::capture(const private_store& store, const strings& args, bool to_file) : m_store(store) {
    strings argv{ROREZUREDI_BIN};
    if (to_file) argv.insert(argv.end(), {"-f", log_path()});
    argv.insert(argv.end(), args.begin(), args.end());
    m_proc = std::make_unique<process>(argv, options{.env = {store.env()}, .cwd = cwd.path()});
}

bool capture::ready() {
    // The handlers are installed after the subscription and the log's opening.
    wait_until([&] {
        auto caught = static_cast<unsigned long>(proc_status(m_proc->pid(), "SigCgt", 16));
        return !m_proc->running() || (caught & termination_mask) == termination_mask;
    });
    return m_proc->running();
}

int capture::stop(int sig) {
    EXPECT_TRUE(wait_until([&] { return m_store.status_value("pending") == 0; }));
    m_proc->signal(sig);
    return m_proc->wait();
}

result replay(const private_store& store, const std::string& log, const strings& args) {
    temp_dir dir;
    write_file(dir.file("log.xml"), log);
    strings argv{ROREZUREDI_BIN, "-l", dir.file("log.xml")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {.env = {store.env()}});
}

std::string log_event(const std::string& path, const std::string& time) {
    return "\t\t<event path=\"" + path + (time.empty() ? "" : "\" time=\"" + time) + "\" />\n";
}

std::string log_leaf(const std::string& path, const std::string& type, const std::string& text,
                     const std::string& time) {
    return "\t\t<event path=\"" + path + (time.empty() ? "" : "\" time=\"" + time) + "\" type=\"" + type +
           "\">" + text + "</event>\n";
}

std::string log_batch(const std::string& time, const std::string& action, const std::string& events) {
    return "\t<batch time=\"" + time + "\" action=\"" + action + "\">\n" + events + "\t</batch>\n";
}

std::string log_document(const std::string& batches, const std::string& prolog) {
    return prolog + "<dump>\n\t<start time=\"1700000000.5000123\"/>\n" + batches + "</dump>\n";
}

}  // namespace harness
