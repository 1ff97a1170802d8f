// Steps of the start-up whose parts are not built yet. Each does nothing: the run takes the
// standard path, goes on at every gate, and launches nothing.
#include "app/app.h"

bool CUnPackFileApp::DecideElevation(bool& systemLaunch) {
    systemLaunch = false;
    return true;
}
bool CUnPackFileApp::PreScanToken(bool, bool&) { return true; }
bool CUnPackFileApp::CheckSingleInstance(bool) { return true; }
uint32_t CUnPackFileApp::ExecuteCommand(const std::wstring&, const std::wstring&, bool) { return 0; }
void CUnPackFileApp::ExpandCabinets(const std::wstring&) {}
bool CUnPackFileApp::WaitProcessExit(const std::wstring&, uint32_t) { return false; }
void CUnPackFileApp::RunAsService(const std::wstring&) {}
void CUnPackFileApp::RunAsStandard(const std::wstring&) {}
void CUnPackFileApp::PrepareAgentFiles(const std::wstring&, const wchar_t*) {}
