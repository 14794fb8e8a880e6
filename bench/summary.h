#pragma once

// One machine-readable line per measure, so that runs of scripts/bench can be
// compared by a script:
//   SUMMARY <key> <value> <unit> baseline <value> ratio <value>
// A measure without a baseline passes baseline 0; its ratio is then 0.

#include <cstdio>

namespace {

[[maybe_unused]] void PrintSummary(const char* key, double value, const char* unit, double baseline) {
    const double ratio = baseline != 0 ? value / baseline : 0;
    std::printf("SUMMARY %s %.6g %s baseline %.6g ratio %.3f\n", key, value, unit, baseline, ratio);
    std::fflush(stdout);
}

}  // namespace
