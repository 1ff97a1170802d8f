// Internal state of the simulated machine, shared by its seam implementations.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <variant>

#include "sim/sim_machine.h"

namespace sim {

struct SimProcess {
    uint32_t pid = 0;
    std::wstring exe;
    uint32_t session = 1;
    std::wstring account;
    TokenKind kind = TokenKind::StandardUser;  // of the token it runs with
    bool alive = true;
    uint32_t exitCode = plat::kStillActive;
};

struct SimWindow {
    plat::Hwnd hwnd;
    std::wstring className;
    uint32_t ownerPid = 0;
    uint32_t threadId = 0;
    uint32_t session = 0;
    bool alive = true;
};

// A token is its kind and its account: its elevation, linked token and groups follow from them.
struct SimToken {
    TokenKind kind = TokenKind::StandardUser;
    std::wstring account;
};

struct FileObj {
    int fd = -1;
    std::string hostPath;
    uint32_t access = 0;  // what the open asked for and was granted (generic rights mapped)
    uint32_t share = 0;
    bool link = false;           // a link opened as itself: no content, no descriptor
    bool deletePending = false;  // goes when the handle is closed
};
struct FindObj {
    std::vector<plat::FindData> entries;
    size_t next = 0;
};
struct ProcessObj {
    uint32_t pid = 0;
};
struct ThreadObj {
    uint32_t exitCode = 0;
};
struct TokenObj {
    SimToken token;
};
struct MutexObj {
    std::wstring key;  // session + name; empty for unnamed
};
struct KeyObj {
    std::wstring hive;
    std::wstring path;  // canonical: upper case, no leading/trailing backslash
    uint32_t access = 0;
};

using Object = std::variant<FileObj, FindObj, ProcessObj, ThreadObj, TokenObj, MutexObj, KeyObj>;

struct RegKey {
    std::map<std::wstring, std::pair<std::wstring, SimMachine::RegValue>> values;  // upper name
};
using Hive = std::map<std::wstring, RegKey>;  // upper-case path ("" is the root)

std::wstring Upper(const std::wstring& s);
std::wstring CanonKey(const std::wstring& path);
std::wstring Hex(uint32_t v);  // "0x1f"
// File rights for generic ones.
uint32_t MapGeneric(uint32_t mask);

struct SimMachine::Impl {
    explicit Impl(SimMachine& m) : m(m) {}
    SimMachine& m;

    // Handles: one table for every kind, by number; the seam's typed handles carry the number.
    std::map<std::uintptr_t, Object> handles;
    std::uintptr_t nextHandle = 0x1000;
    template <typename H = plat::Handle>
    H Add(Object o) {
        const std::uintptr_t h = (nextHandle += 4);
        handles.emplace(h, std::move(o));
        return H(h);
    }
    template <typename T, typename Kind>
    T* Get(plat::HandleOf<Kind> h) {
        auto it = handles.find(h.value);
        return it == handles.end() ? nullptr : std::get_if<T>(&it->second);
    }
    // How many handles of one kind are open.
    template <typename T>
    int Count() const {
        int n = 0;
        for (const auto& entry : handles) n += std::holds_alternative<T>(entry.second);
        return n;
    }

    // Processes and windows.
    std::map<uint32_t, SimProcess> processes;  // ordered by pid = snapshot order
    uint32_t nextPid = 1000;
    std::map<plat::Hwnd, SimWindow> windows;
    std::uintptr_t nextHwnd = 0x10000;
    uint32_t currentThreadId = 100;
    uint32_t nextThreadId = 200;

    // Mutexes: key -> open handle count by this program, plus holders outside it.
    std::map<std::wstring, int> mutexOwnHandles;
    std::map<std::wstring, int> mutexOthers;

    // Registry.
    std::map<std::wstring, Hive> hives;  // upper-case hive name
    Hive& HiveOf(const std::wstring& name) { return hives[Upper(name)]; }

    // Identity.
    std::wstring ProcessAccount() const;
    SimToken OwnToken() const;
    // The kind of token an account's own programs (its shell) run with: an administrator's is
    // the limited one.
    TokenKind KindOf(const std::wstring& account) const;
    std::optional<SimToken> impersonation;  // the token ImpersonateLoggedOnUser was given
    std::wstring AccountOfSid(const std::wstring& sid) const;  // empty: nobody known
    // The token that acts: the thread's impersonation token, else the process's.
    SimToken ActingToken() const;

    // ---- rights (sim_rights.cpp) --------------------------------------------------------------
    // Security descriptors travel with the file, whatever its names: they are kept by the file's
    // identity on its volume. An object without one (made by the test, not through the program)
    // has the one it would have inherited from the folders above it, down from the drive's root.
    using FileId = std::pair<uint64_t, uint64_t>;
    std::map<FileId, plat::AccessList> descriptors;
    std::wstring driveOwner;  // the account whose machine this is: it owns the drive's root
    std::string AccessKey(const std::wstring& windowsPath) const;
    std::string HostKey(const std::string& hostPath) const;  // a host path resolved the same way
    plat::AccessList ListOf(const std::string& key) const;
    // The object at `key` was made just now by the acting token: it gets `given` (its owner the
    // creator's default when none is given), or what the folder above passes on.
    void Created(const std::string& key, const plat::AccessList* given = nullptr);
    void Forget(const std::string& key);  // the object's last name is going
    void SetDescriptor(const std::string& key, plat::AccessList list);
    bool KeepsAccessLists(const std::string& key) const;
    // Windows' access check of the acting token on the object at `key` for `desired` (generic
    // rights mapped to file rights), with the file system's parent rules: DELETE is also granted
    // by FILE_DELETE_CHILD on the folder above, FILE_READ_ATTRIBUTES by FILE_LIST_DIRECTORY
    // there. Every check made is recorded (see SimMachine::accessLog).
    bool MayOpen(const std::string& key, uint32_t desired);
    // Whether the acting token may add the file or folder `key` to the folder above it.
    bool MayAdd(const std::string& key, bool folder);
    // Whether a test has closed the folder holding `key` to the acting account.
    bool WriteDenied(const std::string& key) const;
    // One access check, recorded; the granted mask (all of `desired` or 0, or for
    // MAXIMUM_ALLOWED what is granted).
    uint32_t Check(const plat::AccessList& sd, const SimToken& token, uint32_t desired,
                   const std::string& key);
    // The path with a drive letter ("C:\\...") of a resolved host path; none off the drives.
    std::optional<std::wstring> WindowsPathOfKey(const std::string& key) const;
    std::wstring Absolute(const std::wstring& path) const;
    bool ShareConflict(const std::string& hostPath, uint32_t access, uint32_t share) const;
    int imageFd = -1;  // the running image's file, from StartImage on

    std::unique_ptr<plat::IKernel> kernel;
    std::unique_ptr<plat::IFiles> files;
    std::unique_ptr<plat::IUser> user;
    std::unique_ptr<plat::IRegistry> registry;
    std::unique_ptr<plat::ILoadingSurface> loading;
};

// The identity of a file on its volume (none when nothing is there).
std::optional<SimMachine::Impl::FileId> FileIdOf(const std::string& hostPath);

// Last error of the calling (real) thread.
void SetError(uint32_t code);
uint32_t GetError();

std::unique_ptr<plat::IKernel> MakeKernel(SimMachine& m);
std::unique_ptr<plat::IFiles> MakeFiles(SimMachine& m);
std::unique_ptr<plat::IUser> MakeUser(SimMachine& m);
std::unique_ptr<plat::IRegistry> MakeRegistry(SimMachine& m);
std::unique_ptr<plat::ILoadingSurface> MakeLoadingSurface(SimMachine& m);
void PumpLoadingTimers(SimMachine& m, uint64_t ms);

}  // namespace sim
