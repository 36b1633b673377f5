// Times the reference histogram and the block engine on the same values,
// in one process: `histogram_engines CAPACITY FILE REPEAT` reads FILE as
// native float64 values and prints "reference NS block NS" (ns per value,
// median CPU time of REPEAT runs), after checking that both engines end
// with the same buckets.  Built and run by bench_histogram.py.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

template <class Engine>
double nsPerValue(std::size_t capacity, const std::vector<double>& values,
                  int repeat, std::vector<vb::Bucket>& out)
{
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) {
        const double start = cpuSeconds();
        Engine h(capacity);
        for (double x : values) {
            h.push(x);
        }
        times.push_back(cpuSeconds() - start);
        out.clear();
        if constexpr (std::is_same<Engine, vb::Histogram>::value) {
            out = h.buckets();
        } else {
            h.forEachBucket([&out](const vb::Bucket& b) { out.push_back(b); });
        }
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2] * 1e9 / static_cast<double>(values.size());
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
    std::vector<vb::Bucket> a, b;
    const double reference =
        nsPerValue<vb::Histogram>(capacity, values, repeat, a);
    const double block =
        nsPerValue<vb::BlockHistogram>(capacity, values, repeat, b);
    bool same = a.size() == b.size();
    for (std::size_t i = 0; same && i < a.size(); ++i) {
        const double p = a[i].centroid(), q = b[i].centroid();
        same = a[i].count() == b[i].count() && std::memcmp(&p, &q, 8) == 0;
    }
    if (!same) {
        std::puts("engines differ");
        return 1;
    }
    std::printf("reference %.1f block %.1f\n", reference, block);
    return 0;
}
