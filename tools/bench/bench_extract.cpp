// Runs the launcher's extraction natively: the simulated machine's files are real files, so
// CUnPack::UnPackFiles reads a real package and writes real files with the same code the
// Windows build runs.
//   bench_extract PACKAGE
// Prints "seconds=<wall time of the extraction> maxrss_kib=<peak resident set> files=<n>".
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/sim_machine.h"
#include "unpack/unpack.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_extract PACKAGE\n");
        return 2;
    }
    sim::SimMachine m;
    // The package is linked in as the program's own file (it must be on the same file system
    // as the temporary folder), so the measured time is the extraction alone.
    const std::string self = m.HostPath(m.moduleFile);
    std::filesystem::create_directories(std::filesystem::path(self).parent_path());
    std::error_code ec;
    std::filesystem::create_hard_link(argv[1], self, ec);
    if (ec) {
        std::fprintf(stderr, "bench_extract: cannot link %s: %s\n", argv[1], ec.message().c_str());
        return 1;
    }

    CUnPack unpack;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = unpack.UnPackFiles();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(m.HostPath(unpack.GetWorkFolder()))) {
        (void)e;
        ++files;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("seconds=%.4f maxrss_kib=%ld files=%zu\n", seconds, usage.ru_maxrss, files);
    return ok ? 0 : 1;
}
