#include "app/instance_mutex.h"

#include "platform/platform.h"

CInstanceMutex::CInstanceMutex() : m_bUnnamed(true) {
    Create();
}

CInstanceMutex::CInstanceMutex(const wchar_t* name)
    : m_bUnnamed(name == nullptr), m_strName(name ? name : L"") {
    Create();
}

CInstanceMutex::~CInstanceMutex() {
    Close();
}

void CInstanceMutex::Create() {
    Close();
    m_hMutex.Reset(plat::kernel().CreateMutex(m_bUnnamed ? nullptr : &m_strName));
    m_dwAnswer = plat::kernel().GetLastError();
}

void CInstanceMutex::Close() {
    m_hMutex.Reset();
}

bool CInstanceMutex::IsAlreadyExists() const {
    return m_dwAnswer == plat::kErrorAlreadyExists || m_dwAnswer == plat::kErrorAccessDenied;
}
