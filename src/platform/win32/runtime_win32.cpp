// The launcher raises no exceptions of its own. Should the runtime ever end the program, it does
// so without the verbose terminate handler, which would drag a C++ name demangler (tens of
// kilobytes) into a download that every user fetches first.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
