// Times the reference histogram and the engine the builders use at the
// given capacity on the same values, in one process:
// `histogram_engines CAPACITY FILE REPEAT` reads FILE as native float64
// values and prints "reference NS ENGINE NS" (ns per value, median CPU
// time of REPEAT runs, the two engines taking turns; ENGINE is
// "reference", "blocks64" or "blocks128"), after checking that both end
// with the same buckets.  Built and run by bench_histogram.py.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>
#include <vector>

#include "block_histogram.h"
#include "histogram.h"

namespace {

double cpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) +
           1e-9 * static_cast<double>(t.tv_nsec);
}

// One run: CPU seconds, and the buckets in `out`.
template <class Engine>
double timeOnce(std::size_t capacity, const std::vector<double>& values,
                std::vector<vb::Bucket>& out)
{
    const double start = cpuSeconds();
    Engine h(capacity);
    for (double x : values) {
        h.push(x);
    }
    const double seconds = cpuSeconds() - start;
    out.clear();
    if constexpr (std::is_same<Engine, vb::Histogram>::value) {
        out = h.buckets();
    } else {
        h.forEachBucket([&out](const vb::Bucket& b) { out.push_back(b); });
    }
    return seconds;
}

double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Median ns per value of the reference and of `Engine`, run in turns.
template <class Engine>
void compare(std::size_t capacity, const std::vector<double>& values,
             int repeat, const char* name)
{
    std::vector<vb::Bucket> a, b;
    std::vector<double> reference, engine;
    for (int r = 0; r < repeat; ++r) {
        reference.push_back(timeOnce<vb::Histogram>(capacity, values, a));
        engine.push_back(timeOnce<Engine>(capacity, values, b));
    }
    bool same = a.size() == b.size();
    for (std::size_t i = 0; same && i < a.size(); ++i) {
        const double p = a[i].centroid(), q = b[i].centroid();
        same = a[i].count() == b[i].count() && std::memcmp(&p, &q, 8) == 0;
    }
    if (!same) {
        std::puts("engines differ");
        std::exit(1);
    }
    const double scale = 1e9 / static_cast<double>(values.size());
    std::printf("reference %.1f %s %.1f\n", median(reference) * scale, name,
                median(engine) * scale);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CAPACITY FILE REPEAT\n", argv[0]);
        return 2;
    }
    const std::size_t capacity = std::strtoull(argv[1], nullptr, 10);
    const int repeat = std::atoi(argv[3]);
    std::FILE* f = std::fopen(argv[2], "rb");
    if (!f) {
        std::perror(argv[2]);
        return 2;
    }
    std::vector<double> values;
    double x;
    while (std::fread(&x, sizeof x, 1, f) == 1) {
        values.push_back(x);
    }
    std::fclose(f);
    // The builders' choice by capacity (bucket_summarizer.cpp).
    if (capacity >= vb::wideBlocksFrom) {
        compare<vb::WideBlockHistogram>(capacity, values, repeat, "blocks128");
    } else if (capacity >= vb::blockHistogramFrom) {
        compare<vb::BlockHistogram>(capacity, values, repeat, "blocks64");
    } else {
        compare<vb::Histogram>(capacity, values, repeat, "reference");
    }
    return 0;
}
