// Assembles the Win32 implementation into the default platform of the Windows builds.
#include "platform/platform.h"

namespace plat {
namespace win32 {
IKernel* Win32Kernel();
IFiles* Win32Files();
IUser* Win32User();
IRegistry* Win32Registry();
ILoadingSurface* Win32LoadingSurface();
}  // namespace win32

Platform* Win32Platform() {
    static Platform p{win32::Win32Kernel(), win32::Win32Files(), win32::Win32User(),
                      win32::Win32Registry(), win32::Win32LoadingSurface()};
    return &p;
}

}  // namespace plat
