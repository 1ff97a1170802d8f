#include <gtest/gtest.h>

#include "app/app.h"
#include "sim/sim_machine.h"

namespace {

TEST(StartUp, ARunEndsWithExitCodeZeroAndLogsTheOsFirst) {
    sim::SimMachine m;
    CUnPackFileApp app;
    wchar_t arg0[] = L"C:\\Downloads\\VESK.exe";
    wchar_t* argv[] = {arg0};
    EXPECT_EQ(RunApplication(app, 1, argv), 0);
    const auto messages = m.LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], L"[CUtility::OSInfo] OS 10.0(19045)  x64:0");
    EXPECT_EQ(app.m_pMainWnd, nullptr);
}

}  // namespace
