#include "harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

namespace harness {

namespace {

// Test failures are recorded, and the test goes on.
[[maybe_unused]] const bool failures_recorded = [] {
    kit::on_failure([](const std::string& message) { ADD_FAILURE() << message; });
    return true;
}();

}  // namespace

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

namespace {

kit::spawn_options files_in(const temp_dir& dir, const options& opt) {
    write_file(dir.file("in"), opt.input);
    return {.in = dir.file("in"),
            .out = dir.file("out"),
            .err = dir.file("err"),
            .env = opt.env,
            .cwd = opt.cwd,
            .own_group = true};
}

}  // namespace

process::process(const strings& argv, const options& opt) : m_proc(argv, files_in(m_dir, opt)) {}

result run(const strings& argv, const options& opt) {
    temp_dir dir;
    kit::process p(argv, files_in(dir, opt));
    const kit::usage& u = p.wait(opt.timeout_ms);
    return {.status = u.status,
            .out = read_file(dir.file("out")),
            .err = read_file(dir.file("err")),
            .max_rss_kib = u.max_rss_kib};
}

private_store::private_store(strings extra_args) : kit::store(VELTD_BIN, dir.path(), std::move(extra_args)) {}

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

void private_store::use_in_process() const {
    setenv("VELT_SOCKET", socket().c_str(), 1);
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
