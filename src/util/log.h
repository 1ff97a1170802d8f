// The per-session diagnostic log: one line per call, to the debugger output and appended to
// "unpack<session>.log" in the temp folder the run holds. It reads the run's facts (Run()); nothing
// the run's facts are asked with logs.
#pragma once

#include <cstdint>
#include <string>

#include "util/log_tags.h"

namespace logging {

// One line. The launcher's own lines begin with the tag of the reporting code (log_tags.h), which
// the second form writes as "[tag] " before the formatted text. Every line ends with the thread's
// last error as the caller left it, and leaves it so.
void Log(const wchar_t* format, ...);
void Log(LogTag tag, const wchar_t* format, ...);
// "[CUtility::FileException] <path>: <text of the last error>": why a file could not be opened,
// read or written. No line when the last error is 0.
void FileError(const std::wstring& path);
// The OS line: the Windows version and whether the run is a 32-bit program on 64-bit Windows.
void OsLine();

// Where the lines go: the log file's path.
std::wstring FilePath();
// The run's retry allowance and the proved log file afresh (a new run: each simulated machine).
void ResetState();

}  // namespace logging
