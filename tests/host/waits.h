// The launcher waits through SleepWithSpinner, which sleeps in 120 ms slices and then once for
// the remainder (a zero-length sleep included). This folds the simulated machine's record of
// plain sleeps back into those waits.
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
    return out;
}

}  // namespace waits
