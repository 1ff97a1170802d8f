// Not built yet: package reading, extraction and the work folder come with the package work.
// Until then the run finds no work folder and stops before the launch.
#include "unpack/unpack.h"

uint64_t CUnPack::FindHeader() { return 0; }
int CUnPack::UnPackAndWait() { return 0; }
void CUnPack::StartThread() {}
uint32_t CUnPack::UnPackThreadProc(void*) { return 0; }
bool CUnPack::UnPackFiles() { return false; }
std::wstring CUnPack::GetWorkFolder() { return m_strWorkFolder; }
void CUnPack::RemoveWorkFolder() {}
