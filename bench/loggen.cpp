// loggen: writes a synthetic rorezuredi event log and, optionally, the same
// requests as a `veltctl batch` file.
// Usage: loggen [--events N] [--seed S] [--spacing-us U] [--pacing] LOG [BATCHFILE]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "log_generator.h"

int main(int argc, char** argv) {
    bench::log_options opt;
    std::string log_path, batch_path;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--events" && i + 1 < argc) {
            opt.events = std::atol(argv[++i]);
        } else if (a == "--seed" && i + 1 < argc) {
            opt.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--spacing-us" && i + 1 < argc) {
            opt.spacing_us = std::atol(argv[++i]);
        } else if (a == "--pacing") {
            opt.pacing = true;
        } else if (log_path.empty() && !a.empty() && a[0] != '-') {
            log_path = a;
        } else if (batch_path.empty() && !a.empty() && a[0] != '-') {
            batch_path = a;
        } else {
            log_path.clear();
            break;
        }
    }
    if (log_path.empty() || opt.events < 1 || opt.spacing_us < 1) {
        std::fprintf(stderr,
                     "usage: loggen [--events N] [--seed S] [--spacing-us U] [--pacing] LOG [BATCHFILE]\n");
        return 1;
    }
    try {
        const bench::log_summary s = bench::write_log(opt, log_path, batch_path);
        std::printf("%ld events in %ld batches, %llu bytes\n", s.events, s.batches,
                    static_cast<unsigned long long>(s.log_bytes));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "loggen: %s\n", e.what());
        return 1;
    }
    return 0;
}
