// Steps of the start-up whose parts are not built yet. Each does nothing: the run takes the
// standard path, goes on at every gate, and launches nothing.
#include "app/app.h"

void CUnPackFileApp::RunSwitchLoop(const std::wstring&) {}
void CUnPackFileApp::HandleInstruction(std::wstring) {}
bool CUnPackFileApp::HasCodeSignSettings() { return false; }
void CUnPackFileApp::WriteStartupValues() {}
