// The tags that open the log's lines: the reporting operation, as class name, two colons and
// operation name. Named here once; logging::Log(tag, format, ...) writes a tag as "[tag] ".
#pragma once

struct LogTag {
    const wchar_t* name;
};

namespace tags {
constexpr LogTag kInitInstance{L"CUnPackFileApp::InitInstance"};
constexpr LogTag kExecuteCommand{L"CUnPackFileApp::ExecuteCommand"};
constexpr LogTag kWaitProcessExit{L"CUnPackFileApp::WaitProcessExit"};
constexpr LogTag kRunAsService{L"CUnPackFileApp::RunAsService"};
constexpr LogTag kRunAsStandard{L"CUnPackFileApp::RunAsStandard"};
constexpr LogTag kHandleInstruction{L"CUnPackFileApp::HandleInstruction"};
constexpr LogTag kFindHeader{L"CUnPack::FindHeader"};
constexpr LogTag kUnPackFiles{L"CUnPack::UnPackFiles"};
constexpr LogTag kCheckSignature{L"CUnPack::CheckSignature"};
constexpr LogTag kGetWorkFolder{L"CUnPack::GetWorkFolder"};
constexpr LogTag kRemoveWorkFolder{L"CUnPack::RemoveWorkFolder"};
constexpr LogTag kOSInfo{L"CUtility::OSInfo"};
constexpr LogTag kFileException{L"CUtility::FileException"};
constexpr LogTag kOwnFileOpen{L"COwnFile::Open"};
}  // namespace tags
