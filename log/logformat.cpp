#include "logformat.h"

#include "ov_format.h"
#include "ov_string.h"

namespace ov::log {

std::wstring source_display_name(std::string_view sourceFile)
{
    const std::wstring path = widen(sourceFile);
    const auto last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos)
        return path;
    const std::wstring name = path.substr(last + 1);
    const std::wstring folderPath = path.substr(0, last);
    const auto prev = folderPath.find_last_of(L"\\/");
    const std::wstring folder = prev == std::wstring::npos ? folderPath : folderPath.substr(prev + 1);
    return folder + L"\\" + name;
}

std::wstring format_line(std::wstring_view date, std::wstring_view time, std::wstring_view message, bool sourceDetails,
                         std::string_view sourceFile, int line)
{
    if (sourceDetails)
        return ov::format(L"%s[%s]: %s  --  File: %s, Line: %d\r\n", date, time, message,
                          source_display_name(sourceFile), line);
    return ov::format(L"%s[%s]: %s\r\n", date, time, message);
}

} // namespace ov::log
