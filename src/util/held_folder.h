// A folder held open by its handle, and the one way the launcher reaches what a folder holds:
// every file and folder inside is opened, made, listed, renamed and deleted relative to that
// handle, never by a path. Whatever is done to the folder's path meanwhile (renamed, a link put
// in its place), what is reached is in the folder that was opened; and nothing is reached through
// a link: a junction or symbolic link at a name is opened as itself and refused (or removed as a
// link where the caller makes a folder of ours), a file with a second name is not written or
// stripped of its attributes, and an entry that does not open as the kind the listing named
// (something swapped in since) is left alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"
#include "util/scoped_handle.h"

// Why an object was refused (the thread's last error after a refusal).
constexpr uint32_t kErrorLinkRefused = 681;  // ERROR_STOPPED_ON_SYMLINK: a link at the name
constexpr uint32_t kErrorOtherName = 1006;   // ERROR_FILE_INVALID: a second name, another kind

class CHeldFolder {
public:
    // A hold: to list the folder, reach what it holds and read its attributes and list. Shared
    // for reading and writing (the interpreter and the agent work in it), not for deleting: while
    // it is held nobody renames or deletes it, nor, on Windows, any folder above it.
    static constexpr uint32_t kHoldAccess = plat::kFileListDirectory | plat::kFileTraverse |
                                            plat::kFileReadAttributes | plat::kReadControl;
    static constexpr uint32_t kHoldShare = plat::kShareRead | plat::kShareWrite;
    static constexpr uint32_t kShareAll = kHoldShare | plat::kShareDelete;

    CHeldFolder() = default;
    CHeldFolder(CHeldFolder&&) = default;
    CHeldFolder& operator=(CHeldFolder&&) = default;

    // Holds the folder at `path`, a folder the run does not own (the temp folder, the common
    // application-data folder), wherever a link there leads: a profile moved to another disk
    // through a junction is the user's own choice. Sharing everything. The one open by a path.
    [[nodiscard]] bool Open(const std::wstring& path);

    // Makes the folder `name` here with `list` (null: what it inherits) and holds it, in one step.
    // With `fresh`, only a folder made now will do (kErrorAlreadyExists when the name is taken);
    // else a folder already there is held instead. A link at the name is removed as a link first
    // (refused when it cannot be).
    [[nodiscard]] bool MakeFolder(const std::wstring& name, const plat::AccessList* list,
                                  CHeldFolder& out, bool fresh = false) const;
    // The file `name` here, opened (kOpenExisting), made (kCreateNew) or either (kOpenAlways, the
    // last error then tells which). Refused when it is a link, a folder, or, opened to be changed,
    // a file with another name.
    // A file made now gets `list` (with what the folder passes on), else what it inherits.
    [[nodiscard]] UniqueFile OpenFile(const std::wstring& name, uint32_t access, uint32_t share,
                                      uint32_t disposition,
                                      const plat::AccessList* list = nullptr) const;

    // The owner of the plain file `name` here, one of one name. False when nothing is there
    // (kErrorFileNotFound), a link (kErrorLinkRefused), a folder or a file with another name
    // (kErrorOtherName), or when its list may not be read.
    [[nodiscard]] bool OwnerOf(const std::wstring& name, std::wstring& owner) const;
    // Whether the file `name` is here (a file that opens as itself, no link).
    [[nodiscard]] bool Has(const std::wstring& name) const;
    [[nodiscard]] bool List(std::vector<plat::FindData>& out) const;
    // The listing's entry `name` (letter case aside); false with kErrorFileNotFound when there is
    // none, or with the listing's error.
    [[nodiscard]] bool Find(const std::wstring& name, plat::FindData& out) const;
    // Deletes an entry of the listing: a file, a link as a link, a folder with all it holds. A
    // read-only file goes only with `readOnlyToo`, and never one with another name (clearing its
    // attribute would change the file under its other name too).
    bool Delete(const plat::FindData& entry, bool readOnlyToo) const;
    // Deletes everything the folder holds. True when it is empty.
    bool Clear(bool readOnlyToo) const;
    // Gives the entry `name` the name `newName` here, replacing nothing; refused unless it is of
    // the kind `attributes` names (as listed; 0: a plain file).
    [[nodiscard]] bool Rename(const std::wstring& name, const std::wstring& newName,
                              uint32_t attributes = 0) const;
    // Deletes the folder `name` here, with `clear` what it holds first, when it is not a link and
    // is the folder whose index `index` gives (0: any); up to `attempts` tries to open it while
    // another program still holds it.
    bool RemoveFolder(const std::wstring& name, uint64_t index, int attempts = 1,
                      bool clear = false) const;

    // What the handle says of the folder.
    [[nodiscard]] bool FinalPath(std::wstring& out) const;  // without "\\?\" or a closing '\'
    // Whether the folder lies at `expected` (its final path, letter case aside); where the system
    // has no final paths (Windows XP), whether no level of `expected` is a link. When not, the
    // last error says why: kErrorLinkRefused when it lies elsewhere, another error when where it
    // lies cannot be told.
    [[nodiscard]] bool LiesAt(const std::wstring& expected) const;
    [[nodiscard]] bool FreeSpace(uint64_t* bytes) const;
    [[nodiscard]] bool KeepsAccessLists() const;
    [[nodiscard]] bool Access(plat::AccessList& out) const;

    explicit operator bool() const { return static_cast<bool>(m_handle); }
    uint64_t Index() const { return m_index; }  // the folder's file index
    // The path it was reached by (for log lines and commands), without a closing backslash.
    const std::wstring& Path() const { return m_path; }
    std::wstring Join(const std::wstring& name) const;
    void Close();

    // Whether `path` leads to this very folder (its file index): what a program given the path
    // (the interpreter's current directory, a task's action) reaches. Asks the path once, for
    // its attributes only; kErrorLinkRefused when it leads elsewhere.
    [[nodiscard]] bool IsReachedBy(const std::wstring& path) const;
    // The final path of what an open handle holds, made comparable (see FinalPath).
    static bool FinalPathOf(plat::FileHandle handle, std::wstring& out);

private:
    // Holds the folder `handle` opened, reached as `path`: refused unless it is a folder, no link,
    // and (where its place is known) `name` in this folder, `parent`.
    bool Hold(plat::FileHandle handle, std::wstring path, const CHeldFolder* parent = nullptr,
              const std::wstring& name = std::wstring());
    // Whether an object opened as `name` in this folder is the one of that name here and not,
    // where a link opens as what it points at (Wine), that: its final path, asked once per file.
    bool IsHere(plat::FileHandle handle, const std::wstring& name, uint64_t index) const;
    // Opens `name` here as itself for `access`; refused unless it is of the kind `attributes`
    // names (kAttrDirectory, kAttrReparsePoint); `info` receives what the handle says.
    UniqueFile OpenAsListed(const std::wstring& name, uint32_t attributes, uint32_t access,
                            plat::FileInformation& info) const;
    // Clears the folder `folder` opened as `name` here, through that handle (kept open).
    bool ClearOpened(UniqueFile& folder, const std::wstring& name, bool readOnlyToo) const;

    UniqueFile m_handle;
    std::wstring m_path;
    uint64_t m_index = 0;
    std::wstring m_final;  // where the folder really lies (empty: not known)
    // The files proved to be in this folder by their final path (their indexes): the log, which
    // opens its file for every line, pays for the question once.
    mutable std::vector<uint64_t> m_proved;
};
