// The one owner of every handle the launcher opens above the seam: a process, thread, token or
// mutex, a file or folder, a registry key. It closes what it holds when it
// goes, moves but never copies, and gives the handle up on request. Which call closes it is the
// kind's matter (`Closer`).
#pragma once

#include "platform/platform.h"

template <class Closer>
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(plat::Handle handle) : m_handle(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : m_handle(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    plat::Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != 0; }
    // Gives the handle up: the caller closes it.
    plat::Handle Release() {
        const plat::Handle handle = m_handle;
        m_handle = 0;
        return handle;
    }
    // Closes what is held (keeping the thread's last error) and holds `handle` instead.
    void Reset(plat::Handle handle = 0) {
        if (m_handle && m_handle != handle) {
            const uint32_t error = plat::kernel().GetLastError();
            Closer::Close(m_handle);
            plat::kernel().SetLastError(error);
        }
        m_handle = handle;
    }
    // For a call that hands a new handle out through a pointer: what was held is closed first.
    plat::Handle* Receive() {
        Reset();
        return &m_handle;
    }

private:
    plat::Handle m_handle = 0;
};

struct KernelCloser {  // processes, threads, tokens, mutexes
    static void Close(plat::Handle h) { plat::kernel().CloseHandle(h); }
};
struct FileCloser {  // files and folders
    static void Close(plat::Handle h) { plat::files().CloseFile(h); }
};
struct KeyCloser {  // registry keys; the predefined roots are nobody's to close
    static void Close(plat::HKey h) {
        if (h < plat::kHkeyClassesRoot || h > plat::kHkeyUsers) plat::registry().RegCloseKey(h);
    }
};

using UniqueHandle = ScopedHandle<KernelCloser>;
using UniqueFile = ScopedHandle<FileCloser>;
using UniqueKey = ScopedHandle<KeyCloser>;
