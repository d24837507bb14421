// veltctl's commands, run over one open connection to the store.
#ifndef VELT_CTL_CONTROLLER_H
#define VELT_CTL_CONTROLLER_H

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>
#include <velt++.h>

namespace velt::ctl {

// A command that failed; what() is the one-line message (without "veltctl: ").
class failure : public std::runtime_error {
public:
    enum class kind { usage, store };
    failure(kind k, const std::string& message) : std::runtime_error(message), m_kind(k) {}
    kind which() const noexcept { return m_kind; }

private:
    kind m_kind;
};

class controller {
public:
    controller(toolkit::CVelt& api, std::FILE* out) : m_api(api), m_out(out) {}

    // Runs one checked command other than watch and batch. The words may be
    // moved from. Throws failure.
    void run(std::vector<std::string>& words);

    // Runs the requests read from `fd`, one a line, until the first failure,
    // which is thrown with the line number (and `name`, when not empty).
    void batch(int fd, const std::string& name);

    // Prints the batches of changes at or under `path` as they arrive, until
    // SIGINT or SIGTERM (returns 0). Throws failure when the subscription is
    // refused or the connection is lost.
    int watch(const std::string& path);

private:
    void requests(std::vector<std::string>& words);
    void set(std::vector<std::string>& words);
    void get(const std::string& path);
    void dump(const std::vector<std::string>& words);
    void status();
    void failpoint(const std::vector<std::string>& words);
    void write(const std::string& text);
    void print_batch(long number, const std::vector<toolkit::CEvent>& events);

    toolkit::CVelt& m_api;
    std::FILE* m_out;
    // Reused from request to request.
    std::string m_text;
    std::vector<tk_string> m_paths;
    std::vector<toolkit::CElement> m_values;
    std::vector<vlt_tribool_t> m_flags;
    std::vector<api_status_t> m_statuses;
    const tk_string m_extra;
};

}  // namespace velt::ctl

#endif
