// The one owner of every handle the launcher opens above the seam: a process, thread, token or
// mutex, a file or folder, a registry key, and the loading window's window and images. It closes
// what it holds when it goes, moves but never copies, and gives the handle up on request. Which
// kind of handle it holds and which call closes it is the kind's matter (`Closer`): an owner of
// one kind takes no handle of another.
#pragma once

#include "platform/platform.h"

template <class Closer>
class ScopedHandle {
public:
    using Handle = typename Closer::Handle;

    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : m_handle(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : m_handle(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle Get() const { return m_handle; }
    explicit operator bool() const { return static_cast<bool>(m_handle); }
    // Gives the handle up: the caller closes it.
    [[nodiscard]] Handle Release() {
        const Handle handle = m_handle;
        m_handle = Handle();
        return handle;
    }
    // Closes what is held (keeping the thread's last error) and holds `handle` instead.
    void Reset(Handle handle = Handle()) {
        if (m_handle && m_handle != handle) {
            const uint32_t error = plat::kernel().GetLastError();
            Closer::Close(m_handle);
            plat::kernel().SetLastError(error);
        }
        m_handle = handle;
    }
    // For a call that hands a new handle out through a pointer: what was held is closed first.
    Handle* Receive() {
        Reset();
        return &m_handle;
    }

private:
    Handle m_handle;
};

struct KernelCloser {  // processes, threads, tokens, mutexes
    using Handle = plat::Handle;
    static void Close(Handle h) { plat::kernel().CloseHandle(h); }
};
struct FileCloser {  // files and folders
    using Handle = plat::FileHandle;
    static void Close(Handle h) { plat::files().CloseFile(h); }
};
struct KeyCloser {  // registry keys; the predefined roots are nobody's to close
    using Handle = plat::HKey;
    static void Close(Handle h) {
        if (h.value < plat::kHkeyClassesRoot.value || h.value > plat::kHkeyUsers.value)
            plat::registry().RegCloseKey(h);
    }
};
struct WindowCloser {  // the loading window
    using Handle = plat::Hwnd;
    static void Close(Handle h) { plat::loading().DestroyWindow(h); }
};
struct ImageCloser {  // the loading window's decoded images
    using Handle = plat::Image;
    static void Close(Handle h) { plat::loading().DisposeImage(h); }
};

using UniqueHandle = ScopedHandle<KernelCloser>;
using UniqueFile = ScopedHandle<FileCloser>;
using UniqueKey = ScopedHandle<KeyCloser>;
using UniqueWindow = ScopedHandle<WindowCloser>;
using UniqueImage = ScopedHandle<ImageCloser>;
