// Store throughput and latency: starts a private veltd, then measures
//  - events per second through set_leaves requests of 100 leaves, with one
//    subscriber in another thread taking every batch;
//  - the round trip of a one-leaf set_leaves request (median and p99).
// Usage: store_bench [--veltd PATH] [--requests N] [--round-trips N]
#include <unistd.h>
#include <velt++.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

double events_per_second(int requests, int leaves) {
    toolkit::CVelt sub;
    sub.handle = vlt_init();
    api_status_t st = 0;
    if (sub.event_register("/", EVENT_CHANGE, false, st) != 0) throw std::runtime_error("register");
    const long total = long(requests) * leaves;
    // The first batch also creates /bench and /bench/node.
    const long first = leaves + 2;
    std::atomic<long> seen = 0;
    std::thread reader([&] {
        std::vector<toolkit::CEvent> events;
        while (seen < first + total) {
            int n = sub.events_get(events);
            if (n < 0) break;
            seen += n;
        }
    });
    toolkit::CVelt w;
    w.handle = vlt_init();
    std::vector<tk_string> paths;
    std::vector<toolkit::CElement> values(leaves);
    std::vector<vlt_tribool_t> flags(leaves, VLT_UNSET);
    std::vector<api_status_t> statuses;
    paths.reserve(size_t(leaves));
    for (int i = 0; i < leaves; ++i) paths.push_back("/bench/node/leaf" + std::to_string(i));
    // Create the leaves first so that every measured event is a set.
    for (auto& v : values) v.set_int32(0);
    w.set_leaves(paths, values, flags, statuses, "");
    while (seen < first) std::this_thread::yield();
    auto start = clock_type::now();
    for (int r = 0; r < requests; ++r) {
        for (int i = 0; i < leaves; ++i) values[i].set_int32(r * leaves + i);
        if (w.set_leaves(paths, values, flags, statuses, "") != 0) throw std::runtime_error("set");
    }
    reader.join();
    double elapsed = seconds_since(start);
    return double(total) / elapsed;
}

void round_trips(int count, double& median_us, double& p99_us) {
    toolkit::CVelt sub;
    sub.handle = vlt_init();
    api_status_t st = 0;
    sub.event_register("/", EVENT_CHANGE, false, st);
    std::thread reader([&] {
        std::vector<toolkit::CEvent> events;
        for (int i = 0; i < count; ++i)
            if (sub.events_get(events) < 0) break;
    });
    toolkit::CVelt w;
    w.handle = vlt_init();
    std::vector<api_status_t> statuses;
    std::vector<double> us;
    us.reserve(size_t(count));
    toolkit::CElement v;
    for (int i = 0; i < count; ++i) {
        v.set_int32(i);
        auto t = clock_type::now();
        if (w.set_leaves({"/rt/leaf"}, {v}, {VLT_UNSET}, statuses, "") != 0) throw std::runtime_error("set");
        us.push_back(seconds_since(t) * 1e6);
    }
    reader.join();
    std::sort(us.begin(), us.end());
    median_us = us[us.size() / 2];
    p99_us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

}  // namespace

int main(int argc, char** argv) {
    std::string veltd = VELTD_BIN;
    int requests = 20000, trips = 20000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--veltd" && i + 1 < argc)
            veltd = argv[++i];
        else if (a == "--requests" && i + 1 < argc)
            requests = std::max(1, atoi(argv[++i]));
        else if (a == "--round-trips" && i + 1 < argc)
            trips = std::max(1, atoi(argv[++i]));
        else {
            fprintf(stderr, "usage: store_bench [--veltd PATH] [--requests N] [--round-trips N]\n");
            return 1;
        }
    }
    try {
        const bench::work_dir dir;
        const bench::store store(veltd, dir.file("store"));
        double eps = events_per_second(requests, 100);
        double median = 0, p99 = 0;
        round_trips(trips, median, p99);
        printf("%-48s %14s\n", "measure", "result");
        printf("%-48s %14.0f\n", "events/s, set_leaves of 100 leaves, 1 subscriber", eps);
        printf("%-48s %14.1f\n", "one-leaf set_leaves round trip, median (us)", median);
        printf("%-48s %14.1f\n", "one-leaf set_leaves round trip, p99 (us)", p99);
    } catch (const std::exception& e) {
        fprintf(stderr, "store_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
