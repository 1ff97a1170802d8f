// Prints every access decision the simulated machine makes over the life of one machine (see
// life_cycle.h), one per line, and after each run one line about it:
//   access <TAB> descriptor as SDDL <TAB> token SIDs <TAB> access asked <TAB> 1|0 <TAB> path
//   run <TAB> n <TAB> kind <TAB> agent started <TAB> backup result <TAB> left in unpackvesk
// tests/host/check_rights.py puts every distinct decision to an independent access check.
#include <cstdio>
#include <string>
#include <vector>

#include "host/life_cycle.h"
#include "util/text.h"

int main() {
    std::vector<std::wstring> decisions;
    auto print = [](const std::wstring& line) { std::printf("%s\n", text::Narrow(line).c_str()); };
    lifecycle::Live(
        [&](const lifecycle::Outcome& o, sim::SimMachine&) {
            for (const std::wstring& line : decisions) print(line);
            decisions.clear();
            print(L"run\t" + std::to_wstring(o.n) + L"\t" + o.kind + L"\t" + o.started + L"\t" +
                  o.backup + L"\t" + o.left);
        },
        &decisions);
    return 0;
}
