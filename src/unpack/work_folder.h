// The per-session work folder below the user's temp folder: where the package is unpacked, where
// the agent is started from, and what the run removes at its end. One object owns its path, the
// folder held open from its creation to its removal, and whether it may be used; every step that
// acts in the folder takes it.
#pragma once

#include <cstdint>
#include <string>

#include "util/held_folder.h"
#include "util/log_tags.h"

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

    // On the first call: "<temp>unpackvesk\<session>\" is made afresh for this run, held from the
    // same call (in an elevated run with a list that closes it to the user), and proved to lie
    // where it should. What an earlier run left at the name is cleared, or moved aside when it
    // cannot be. Later calls change nothing. True when the folder is ready.
    bool Prepare();
    // Deletes what the folder holds through the folder held, then the folder, then "unpackvesk"
    // when no other session's folder is left there. A refused folder is never touched; an
    // elevated run first proves that the folder still lies where it should.
    void Remove();

    // The path, ending in a backslash (empty before Prepare).
    const std::wstring& Path() const { return m_path; }
    // A name in the folder: the path and the name with one separator between them.
    std::wstring Join(const std::wstring& name) const;
    // The folder itself, held: every file in it is reached through this.
    const CHeldFolder& Held() const { return m_hold; }
    bool IsRefused() const { return m_state == State::Refused; }
    // Made for this run and held.
    bool IsReady() const { return m_state == State::Ready && m_hold; }

    // Whether the run may still act in the folder through its path (the interpreter's current
    // directory, the task's action). An unelevated run always may; an elevated one only while the
    // folder held lies where it should, below the temp folder's real place (before the folder is
    // made: the deepest level of it that is held). When not, one line "[tag] <what> refused,
    // <path> is reached through a link".
    [[nodiscard]] bool ReachedDirectly(LogTag tag, const wchar_t* what) const;

private:
    bool Refuse();
    // One attempt to make the folder afresh: false, with the error of the attempt as the last
    // error. A folder of that name left by an earlier run is cleared and deleted, or moved aside
    // when it cannot be.
    bool MakeFresh(const plat::AccessList* list);
    // The final path expected of the temp folder, or of `below` it.
    std::wstring Expected(const std::wstring& below) const;
    bool KeepsItsList() const;

    std::wstring m_name;  // the session's folder: its number
    std::wstring m_path;  // <temp>unpackvesk\<session>\ .
    State m_state = State::Unprepared;
    CHeldFolder m_parent;  // "unpackvesk", held while the work folder is
    // The run holds the folder open without delete sharing from its creation until its contents
    // are gone: nobody can rename it (or, on Windows, a folder above it) away and put another in
    // its place.
    CHeldFolder m_hold;
};
