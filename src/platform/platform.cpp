#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace plat {

#ifdef _WIN32
Platform* Win32Platform();  // win32/win32_platform.cpp
#endif

namespace {
Platform* g_installed = nullptr;

Platform& Current() {
    Platform* p = g_installed;
#ifdef _WIN32
    if (!p) p = Win32Platform();
#endif
    if (!p) {
        std::fputs("no platform installed\n", stderr);
        std::abort();
    }
    return *p;
}
}  // namespace

Platform* Install(Platform* p) {
    Platform* previous = g_installed;
    g_installed = p;
    return previous;
}

IKernel& kernel() { return *Current().kernel; }
IFiles& files() { return *Current().files; }
IUser& user() { return *Current().user; }
IRegistry& registry() { return *Current().registry; }
ILoadingSurface& loading() { return *Current().loading; }

}  // namespace plat
