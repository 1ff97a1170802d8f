// The questions a run asks the system about itself once, at its start (RunContext::Detect): who
// it runs as, which Windows it runs on, where its own file is, and who is logged on to its
// session. Every part of the launcher reads the answers from Run(); only RunContext::Detect (and
// the tests of these questions) asks them here. None of them logs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"
#include "util/run_context.h"

namespace os {

// Whether the user is an administrator, judged on the full token behind a filtered one (the
// process's own token when none is given; a token given stays open).
bool IsUserInAdminGroup2(plat::Handle token = plat::Handle());
bool IsProcessElevated();
// From RtlGetVersion, else from GetVersionExW (which tells no more than Windows 8 to a program
// that does not declare a later one).
OsVersionClass GetOSVersionClass(plat::OsVersion* out = nullptr);
bool IsWow64();
uint32_t GetOwnSessionId();  // ProcessIdToSessionId of the own process, -1 on failure
// The program's own file. A path cut off by its 260-character buffer is none (empty).
std::wstring GetModulePath();

// A primary token of the shell's user (an elevated run: the system's shell in `session`
// first), and of the user logged on to `session` (the terminal services' answer to the
// system account, else the shell's).
bool GetShellUserToken(plat::Handle* token, uint32_t session, bool elevated);
bool GetSessionUserToken(plat::Handle* token, uint32_t session, bool elevated);
// The account logged on to `session`, known without its token: the terminal services name it.
bool GetSessionUserSid(uint32_t session, std::wstring& sid);

}  // namespace os
