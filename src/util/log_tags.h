// The tags that open the log's lines, as the log has always written them: a class name, two
// colons and an operation name. Each constant is named after the code that writes the line, and
// holds the text that code writes; several reporters write the same text (the start-up's steps
// all report as InitInstance, the work folder as the extraction's steps that used to hold it).
// logging::Log(tag, format, ...) writes a tag as "[tag] ".
#pragma once

struct LogTag {
    const wchar_t* name;
};

namespace tags {
// The start-up sequence (CUnPackFileApp::InitInstance) and the steps it runs itself.
constexpr LogTag kInitInstance{L"CUnPackFileApp::InitInstance"};
constexpr LogTag kShowElevationPrompt{L"CUnPackFileApp::InitInstance"};
constexpr LogTag kCheckSingleInstance{L"CUnPackFileApp::InitInstance"};
constexpr LogTag kRefuseUnsafeToken{L"CUnPackFileApp::InitInstance"};
constexpr LogTag kHandleInstruction{L"CUnPackFileApp::HandleInstruction"};
// Commands, the elevation backup made while the agent starts, and the launches.
constexpr LogTag kExecuteCommand{L"CUnPackFileApp::ExecuteCommand"};
constexpr LogTag kMakeElevationBackup{L"CUnPackFileApp::ExecuteCommand"};
constexpr LogTag kWaitProcessExit{L"CUnPackFileApp::WaitProcessExit"};
constexpr LogTag kRunAsService{L"CUnPackFileApp::RunAsService"};
constexpr LogTag kRunAsStandard{L"CUnPackFileApp::RunAsStandard"};
// The launcher's own file and its package.
constexpr LogTag kOwnFileOpen{L"COwnFile::Open"};
constexpr LogTag kCheckSignature{L"CUnPack::CheckSignature"};
constexpr LogTag kFindHeader{L"CUnPack::FindHeader"};
constexpr LogTag kUnPackFiles{L"CUnPack::UnPackFiles"};
// The work folder (CWorkFolder::Prepare and CWorkFolder::Remove).
constexpr LogTag kWorkFolderPrepare{L"CUnPack::GetWorkFolder"};
constexpr LogTag kWorkFolderRemove{L"CUnPack::RemoveWorkFolder"};
// The log's own lines: the OS line and a file's error.
constexpr LogTag kOsLine{L"CUtility::OSInfo"};
constexpr LogTag kFileError{L"CUtility::FileException"};
}  // namespace tags
