// Prints the owner and the access list of files and folders, read with GetFileSecurityW:
//   acl_dump.exe PATH...
// For each path: "path PATH", "owner SID", "protected 0|1", then one line per entry
// "allow|deny|other SID MASK FLAGS" (hexadecimal mask and inheritance flags), or "error N".
#include <cstdio>
#include <vector>

#include "platform/win32/win32.h"

namespace {

void PrintSid(const wchar_t* label, PSID sid) {
    wchar_t* text = nullptr;
    if (sid && ::ConvertSidToStringSidW(sid, &text)) {
        std::wprintf(L"%ls %ls\n", label, text);
        ::LocalFree(text);
    } else {
        std::wprintf(L"%ls -\n", label);
    }
}

void Dump(const wchar_t* path) {
    std::wprintf(L"path %ls\n", path);
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    ::GetFileSecurityW(path, what, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!size || !::GetFileSecurityW(path, what, buffer.data(), size, &size)) {
        std::wprintf(L"error %lu\n", ::GetLastError());
        return;
    }
    PSECURITY_DESCRIPTOR sd = buffer.data();
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ::GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    PrintSid(L"owner", owner);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(sd, &control, &revision);
    std::wprintf(L"protected %d\n", (control & SE_DACL_PROTECTED) ? 1 : 0);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    if (!present || !dacl) {
        std::wprintf(L"nodacl\n");
        return;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) break;
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(raw);
        const ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        const wchar_t* kind = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? L"allow"
                              : header->AceType == ACCESS_DENIED_ACE_TYPE ? L"deny"
                                                                          : L"other";
        wchar_t* text = nullptr;
        const bool known = header->AceType <= ACCESS_DENIED_ACE_TYPE &&
                           ::ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &text);
        std::wprintf(L"%ls %ls 0x%lx 0x%x\n", kind, known ? text : L"-", known ? ace->Mask : 0ul,
                     header->AceFlags);
        if (text) ::LocalFree(text);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) Dump(argv[i]);
    std::fflush(stdout);
    return argc > 1 ? 0 : 2;
}
