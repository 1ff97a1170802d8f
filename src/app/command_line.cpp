// The launcher's command line after extraction: debug markers for the agent, the launch token
// and instructions.
#include "app/app.h"
#include "platform/platform.h"
#include "unpack/work_folder.h"
#include "util/scoped_handle.h"
#include "util/text.h"

namespace {

// "/X" or "-X", ignoring case.
bool IsSwitch(const std::wstring& arg, const wchar_t* name) {
    return !arg.empty() && (arg[0] == L'/' || arg[0] == L'-') &&
           text::EqualsNoCase(arg.substr(1), name);
}

// The switches that end the arguments of "/I" ("/I" itself does not).
bool EndsInstruction(const std::wstring& arg) {
    return IsSwitch(arg, L"T") || IsSwitch(arg, L"D") || IsSwitch(arg, L"D1");
}

// An empty marker file in the work folder's "log" folder, for the agent; an existing one keeps
// its content. Failures are silent.
void LeaveDebugMarker(const CWorkFolder& work, const wchar_t* marker) {
    // Opened for appending, as the C runtime's "a" mode does: created when missing, kept when
    // present.
    CHeldFolder folder;
    if (work.Held().MakeFolder(L"log", nullptr, folder))
        static_cast<void>(folder.OpenFile(marker, plat::kGenericWrite,
                                          plat::kShareRead | plat::kShareWrite, plat::kOpenAlways));
}

}  // namespace

void CUnPackFileApp::RunSwitchLoop(const CWorkFolder& work, RunState& run) {
    const size_t count = m_args.size();
    for (size_t i = 0; i < count; ++i) {
        const std::wstring& arg = m_args[i];
        if (IsSwitch(arg, L"D")) {
            LeaveDebugMarker(work, L"debug.dvm");
        } else if (IsSwitch(arg, L"D1")) {
            LeaveDebugMarker(work, L"debugAV.dvm");
        } else if (IsSwitch(arg, L"T")) {
            // The next argument is the token, whatever it is.
            if (i + 1 < count) run.token = m_args[++i];
        } else if (IsSwitch(arg, L"I")) {
            // The next argument and the ones after it, up to a token or debug switch, joined
            // without separator.
            if (i + 1 < count) run.instruction = m_args[++i];
            while (i + 1 < count && !EndsInstruction(m_args[i + 1])) run.instruction += m_args[++i];
            if (!run.instruction.empty()) HandleInstruction(run.instruction);
        }
    }
}
