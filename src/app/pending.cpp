// Steps of the start-up whose parts are not built yet. Each does nothing: the run takes the
// standard path, goes on at every gate, and launches nothing.
#include "app/app.h"

bool CUnPackFileApp::DecideElevation(bool& systemLaunch) {
    systemLaunch = false;
    return true;
}
bool CUnPackFileApp::PreScanToken(bool, bool&) { return true; }
void CUnPackFileApp::RunSwitchLoop(const std::wstring&) {}
bool CUnPackFileApp::CheckSingleInstance(bool) { return true; }
void CUnPackFileApp::RunAsService(const std::wstring&) {}
void CUnPackFileApp::HandleInstruction(std::wstring) {}
bool CUnPackFileApp::HasCodeSignSettings() { return false; }
void CUnPackFileApp::WriteStartupValues() {}
