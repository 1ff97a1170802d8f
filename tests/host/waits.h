// The launcher waits through SleepWithSpinner, which sleeps (or waits on a process) in 120 ms
// slices and then once for the remainder (a zero-length one included), or stops as soon as the
// process has ended. This folds the simulated machine's record of pauses back into those waits.
#pragma once

#include <cstdint>
#include <vector>

namespace waits {

inline std::vector<uint32_t> SpinnerWaits(const std::vector<uint32_t>& sleeps) {
    std::vector<uint32_t> out;
    uint32_t current = 0;
    for (uint32_t s : sleeps) {
        current += s;
        if (s < 120) {
            out.push_back(current);
            current = 0;
        }
    }
    if (current) out.push_back(current);  // a wait that ended with its process
    return out;
}

}  // namespace waits
