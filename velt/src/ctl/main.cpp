// veltctl: command-line client of the Velt store.
#include <fcntl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>
#include <velt++.h>

#include "ctl/controller.h"
#include "ctl/format.h"
#include "ctl/usage.h"
#include "protocol/messages.h"
#include "unique_fd.h"

namespace {

int run(std::vector<std::string>& words) {
    using velt::ctl::failure;
    try {
        velt::ctl::check_usage(words, false);
    } catch (const failure& f) {
        std::fprintf(stderr, "veltctl: %s\n%s", f.what(), velt::ctl::usage_text);
        return 1;
    }

    // Open the batch input before contacting the store.
    const bool is_batch = words[0] == "batch";
    velt::unique_fd input;
    std::string input_name;
    if (is_batch && words.size() == 2 && words[1] != "-") {
        input_name = words[1];
        input.reset(::open(input_name.c_str(), O_RDONLY | O_CLOEXEC));
        if (!input) {
            std::fprintf(stderr, "veltctl: cannot open %s: %s\n", velt::ctl::escaped(input_name).c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    toolkit::CVelt api;
    api.handle = vlt_init();
    if (!api.is_initialized()) {
        std::fprintf(stderr, "veltctl: cannot reach the store at %s\n",
                     velt::ctl::escaped(velt::wire::socket_path()).c_str());
        return 1;
    }

    velt::ctl::controller ctl(api, stdout);
    int status = 0;
    try {
        if (is_batch) {
            ctl.batch(input ? input.get() : 0, input_name);
        } else if (words[0] == "watch") {
            status = ctl.watch(words.size() > 1 ? words[1] : "/");
        } else {
            ctl.run(words);
        }
    } catch (const failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "veltctl: %s\n", f.what());
        status = 1;
    }
    if (std::fflush(stdout) != 0 && status == 0) {
        std::fprintf(stderr, "veltctl: cannot write standard output: %s\n", std::strerror(errno));
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed output pipe shows up as a write error, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        std::fprintf(stderr, "veltctl: no command given\n%s", velt::ctl::usage_text);
        return 1;
    }
    if (words[0] == "-h" || words[0] == "--help" || words[0] == "help") {
        std::fprintf(stdout, "%s", velt::ctl::usage_text);
        return 0;
    }
    try {
        return run(words);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltctl: %s\n", e.what());
        return 1;
    }
}
