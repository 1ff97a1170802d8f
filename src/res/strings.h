// String-table entries of the launcher (language 1033). The resource script carries the same
// texts; the resource check of the tests compares the built program's table with these.
#pragma once

#define IDS_DISK_CAPTION 130
#define IDS_DISK_TEXT 131
#define IDS_ELEVATION_LINE1 137
#define IDS_ELEVATION_LINE2 138
#define IDS_ELEVATION_LINE3 139
#define IDS_ELEVATION_CAPTION 140

#ifdef __cplusplus
namespace res {
struct StringEntry {
    unsigned id;
    const wchar_t* text;
};
inline constexpr StringEntry kStrings[] = {
    {IDS_DISK_CAPTION, L"Quintrova?Streamer"},
    {IDS_DISK_TEXT, L"There is not enough disk space to install ."},
    {IDS_ELEVATION_LINE1, L"Your admin requires your permission to connect to this computer."},
    {IDS_ELEVATION_LINE2, L"  -  Click \"OK\" and in next dialog, click \"Yes\" to allow."},
    {IDS_ELEVATION_LINE3, L"  -  Click \"Cancel\" if you do want to reject the connection."},
    {IDS_ELEVATION_CAPTION, L"Warning"},
};
}  // namespace res
#endif
