// What the launcher knows of the agent it starts: the names of its programs and files, and the
// class of its main window. The launcher never talks to the agent; it watches these.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

constexpr const wchar_t* kAgentWindowClass = L"QuintrovaRemoteAttendedSupport";
constexpr const wchar_t* kAgentManagerExe = L"QVManagerVESK.exe";
constexpr const wchar_t* kAgentServerExe = L"QVServerVESK.exe";

// "<folder>\Vesk<session, two digits at least><major><minor><build><revision>.exe": the copy of
// the launcher that the agent uses to elevate itself.
std::wstring ElevationBackupName(const std::wstring& folder, uint32_t session, uint32_t high,
                                 uint32_t low);

// The agent's main window: a top-level window of its class (any title) that still exists; 0 when
// there is none.
plat::Hwnd FindAgentWindow();
inline bool AgentWindowExists() {
    return static_cast<bool>(FindAgentWindow());
}
