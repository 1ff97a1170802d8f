#include "unpack/own_file.h"

#include "util/utility.h"

bool COwnFile::Open() {
    if (m_bTried) return IsOpen();
    m_bTried = true;
    m_strPath = CUtility::GetModulePath();
    return m_file.Open(m_strPath, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary,
                       &m_openError);
}
