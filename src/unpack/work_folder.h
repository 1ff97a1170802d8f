// The per-session work folder below the user's temp folder: where the package is unpacked, where
// the agent is started from, and what the run removes at its end. One object owns its path, the
// folder held open, and whether it may be used; every step that acts in the folder takes it.
#pragma once

#include <cstdint>
#include <string>

#include "util/log_tags.h"
#include "util/scoped_handle.h"

class CWorkFolder {
public:
    enum class State {
        Unprepared,  // nothing done yet; the path is not known
        Ready,       // made for this run
        Missing,     // could not be made
        Refused,     // a link, or a folder the run may not trust: never written or deleted
    };

    CWorkFolder() = default;
    CWorkFolder(const CWorkFolder&) = delete;
    CWorkFolder& operator=(const CWorkFolder&) = delete;

    // On the first call: "<temp>unpackvesk\<session>\" is cleared of what an earlier run left,
    // made afresh and, in an elevated run, closed to the user, held open and proved to be reached
    // through no link. Later calls change nothing. True when the folder is ready.
    bool Prepare();
    // Deletes the folder with everything in it, then "unpackvesk" when no other session's folder
    // is left there. A refused folder is never touched; an elevated run first proves that the
    // path still leads to the folder it holds.
    void Remove();

    // The path, ending in a backslash (empty before Prepare).
    const std::wstring& Path() const { return m_path; }
    // A name in the folder: the path and the name with one separator between them.
    std::wstring Join(const std::wstring& name) const;
    State GetState() const { return m_state; }
    bool IsRefused() const { return m_state == State::Refused; }
    // Made for this run and still there.
    bool IsReady() const;

    // Whether the run may still act in the folder through its path. An unelevated run always
    // may; an elevated one only while the path leads, through no junction or symbolic link, to
    // the folder it holds (before the folder exists: to the deepest folder above it that does).
    // When not, one line "[tag] <what> refused, <path> is reached through a link".
    bool ReachedDirectly(LogTag tag, const wchar_t* what) const;

private:
    bool Refuse();
    // The final path expected of the temp folder, or of `below` it.
    std::wstring Expected(const std::wstring& below) const;
    bool PathLeadsHere() const;
    bool KeepsItsList(bool madeNow, const std::wstring& userSid) const;
    void DeleteTree(int attempts = 1);
    // Opens `path` as itself (in up to `attempts` tries while another program holds it) and
    // deletes it (with `clear`, what it holds first), unless it is a link, not the folder whose
    // index `index` gives, or (in an elevated run) not where it should lie, `below` the temp
    // folder.
    void ClearAndDelete(const std::wstring& path, const std::wstring& below, const uint64_t* index,
                        int attempts, bool clear = true) const;

    std::wstring m_temp;       // the temp folder, with its trailing backslash
    std::wstring m_tempFinal;  // where it really is (its final path), asked once
    std::wstring m_parent;     // <temp>unpackvesk
    std::wstring m_name;       // the session's folder: its number
    std::wstring m_path;       // <temp>unpackvesk\<session>\ .
    State m_state = State::Unprepared;
    // The run holds the folder open without delete sharing from its creation until its contents
    // are gone: nobody can rename it (or, on Windows, a folder above it) away and put another in
    // its place, which a check of the path would not see; and the clean-up deletes through it.
    UniqueFile m_hold;
    uint64_t m_holdIndex = 0;  // the file index of the folder held
};
