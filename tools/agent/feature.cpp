// Placeholder for the agent's feature executable; two builds differ only in the name they carry.
#include <cstdio>

#ifndef FEATURE_BUILD
#define FEATURE_BUILD "UIA"
#endif

static const char kBuild[] = "vesk-test-feature-build:" FEATURE_BUILD;

int main() {
    std::puts(kBuild);
    return 0;
}
