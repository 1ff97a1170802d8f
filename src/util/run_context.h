// The facts of a run that do not change while it lasts, asked of the system once: who the run
// is (an administrator, elevated, the local system account), its session, the Windows it runs on,
// whether it is a 32-bit program on 64-bit Windows, its own file, its temp folder and the user
// logged on to its session. Every step reads them here; nothing else asks the system for them
// (the questions are in util/os.h). Asking them logs nothing, so the log may read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/types.h"
#include "util/held_folder.h"
#include "util/scoped_handle.h"

// Windows generation, from the combined version major * 256 + minor.
enum OsVersionClass {
    OsOlder = 0,  // anything not listed below (older than 6.0, and also 6.4 to 9.255)
    OsVista = 1,  // 0x0600
    OsWin7 = 2,   // 0x0601
    OsWin8 = 3,   // 0x0602
    OsWin81 = 4,  // 0x0603
    OsWin10 = 5,  // 0x0A00 or higher
};

struct RunContext {
    // The user is an administrator (judged on the full token behind a filtered one), and the
    // process's token is elevated.
    bool administrator = false;
    bool tokenElevated = false;
    // An elevated token, or the local system account (whose token tells no elevation on
    // Windows XP): a run whose files, folders and commands a standard user must not steer.
    bool elevated = false;
    uint32_t session = plat::kAnySession;  // of the own process; -1 when it cannot be told
    plat::OsVersion version;               // as GetVersionExW reports it
    OsVersionClass osClass = OsOlder;      // from RtlGetVersion (GetVersionExW without it)
    uint32_t build = 0;                    // the build number behind `osClass`
    bool wow64 = false;
    // The program's own file (the module path; empty when it does not fit its buffer).
    std::wstring modulePath;

    // The user's temp folder: as GetTempPathW gives it (with its closing backslash; empty when
    // the call fails), held for the whole run (the work folder, the free-space query and the log
    // reach everything in it through this one handle), and where it really is (its final path,
    // asked once; a profile moved elsewhere through a junction is the user's own choice).
    std::wstring tempPath;
    CHeldFolder temp;
    std::wstring tempFinal;
    // Whether the temp folder held lies where its final path says; where the system cannot tell
    // final paths (Windows XP), whether no level of its path is a link.
    bool tempDirect = false;

    // The user logged on to the session: the account (known without its token, which an
    // administrator who typed in other credentials cannot open), and a primary token of it where
    // one can be had, which every act as that user (the registry hive, copies) impersonates.
    std::wstring userSid;
    UniqueHandle userToken;

    bool IsPreVista() const { return version.major < 6; }
    // At least that build when one is given, else at least that generation.
    bool IsOSAtLeast(OsVersionClass minimumClass, uint32_t minimumBuild) const {
        return minimumBuild != 0 ? build >= minimumBuild : osClass >= minimumClass;
    }

    // Asks the system.
    static RunContext Detect();
};

// The facts of this run, asked at their first use.
const RunContext& Run();
// Forgets them: the next use asks again (a new run; each simulated machine is one).
void ForgetRun();

// Makes the calling thread act as the user logged on to the launcher's session (with the token
// the run took once, `userToken`) for the lifetime of the object; does nothing when no such token
// could be had. The thread's last error stays as it was.
class CImpersonateUser {
public:
    CImpersonateUser();
    virtual ~CImpersonateUser();
    CImpersonateUser(const CImpersonateUser&) = delete;
    CImpersonateUser& operator=(const CImpersonateUser&) = delete;

    void Revert();
    bool IsImpersonating() const { return m_bImpersonating; }

private:
    bool m_bImpersonating = false;
};

// A run's facts, asked afresh when it starts and given up when it ends: the start-up holds one
// for its whole run. (On a simulated machine, where one launcher may start inside another's run,
// each sees its own.)
class CRunScope {
public:
    CRunScope();
    ~CRunScope();
    CRunScope(const CRunScope&) = delete;
    CRunScope& operator=(const CRunScope&) = delete;

private:
    std::optional<RunContext> m_outer;
};
