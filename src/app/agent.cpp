#include "app/agent.h"

#include "platform/platform.h"

plat::Hwnd FindAgentWindow() {
    plat::IUser& user = plat::user();
    const plat::Hwnd window = user.FindWindow(kAgentWindowClass);
    return (window && user.IsWindow(window)) ? window : plat::Hwnd();
}
