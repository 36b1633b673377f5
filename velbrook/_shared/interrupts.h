// Ctrl-C in loops whose length the caller controls.
#pragma once

#include "python.h"

#include <cstddef>

namespace vb {

// Polls for pending signals after about `budget` units of work, so that a
// long loop stops promptly while a short step pays only an addition and a
// comparison.  Each call makes its own: the count is per-call state, never
// shared between threads.  Handlers run only in the main thread; elsewhere
// a poll returns at once.
class InterruptPoll {
public:
    InterruptPoll() noexcept = default;
    InterruptPoll(const InterruptPoll&) = delete;
    InterruptPoll& operator=(const InterruptPoll&) = delete;

    // Adds `work` units; false with the exception set when a signal
    // handler raised (KeyboardInterrupt).
    bool tick(std::size_t work) noexcept { return !due(work) || check(); }

    // Adds `work` units; true when the budget is spent and `check` is due.
    // For a loop that must let go of something before handlers run.
    bool due(std::size_t work) noexcept
    {
        done_ += work;
        return done_ >= budget;
    }

    // Runs the pending signal handlers now and starts a new budget; false
    // with the exception set when one raised.
    bool check() noexcept
    {
        done_ = 0;
        return PyErr_CheckSignals() == 0;
    }

    static constexpr std::size_t budget = std::size_t{1} << 16;

private:
    std::size_t done_ = 0;
};

}  // namespace vb
