// The one process-wide access point to the OS seam. The Windows build serves the Win32
// implementation; host tests install a simulated machine.
#pragma once

#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/loading_surface.h"
#include "platform/registry.h"
#include "platform/user.h"

namespace plat {

struct Platform {
    IKernel* kernel = nullptr;
    IFiles* files = nullptr;
    IUser* user = nullptr;
    IRegistry* registry = nullptr;
    ILoadingSurface* loading = nullptr;
};

// Makes `p` the current platform and returns the previous one (null restores the default).
Platform* Install(Platform* p);

IKernel& kernel();
IFiles& files();
IUser& user();
IRegistry& registry();
ILoadingSurface& loading();

// False, with `error` as the thread's last error: how code above the seam reports a failure of
// its own, the way the system reports one.
inline bool Fail(uint32_t error) {
    kernel().SetLastError(error);
    return false;
}

}  // namespace plat
