#include "paths.h"

#include "ov_string.h"

namespace ov::path {

namespace {
bool is_separator(wchar_t c) noexcept
{
    return c == L'\\' || c == L'/';
}
} // namespace

std::wstring join(std::wstring_view first, std::wstring_view second)
{
    while (!first.empty() && is_separator(first.back()))
        first.remove_suffix(1);
    while (!second.empty() && is_separator(second.front()))
        second.remove_prefix(1);
    std::wstring out(first);
    out.push_back(L'\\');
    out.append(second);
    return out;
}

std::wstring folder_of(std::wstring_view path)
{
    const auto pos = path.find_last_of(L"\\/");
    if (pos == std::wstring_view::npos)
        return {};
    return std::wstring(path.substr(0, pos));
}

std::wstring file_name_of(std::wstring_view path)
{
    const auto pos = path.find_last_of(L"\\/");
    return std::wstring(pos == std::wstring_view::npos ? path : path.substr(pos + 1));
}

std::wstring url_file_name(std::wstring_view url)
{
    const auto slash = url.find_last_of(L'/');
    if (slash != std::wstring_view::npos)
        return std::wstring(url.substr(slash + 1));
    return file_name_of(url);
}

std::wstring unquote(std::wstring_view text)
{
    if (!text.empty() && text.front() == L'"')
        text.remove_prefix(1);
    if (!text.empty() && text.back() == L'"')
        text.remove_suffix(1);
    return std::wstring(text);
}

std::wstring without_trailing_backslash(std::wstring_view path)
{
    if (!path.empty() && path.back() == L'\\')
        path.remove_suffix(1);
    return std::wstring(path);
}

bool is_absolute(std::wstring_view path) noexcept
{
    if (path.size() >= 3 && path[1] == L':' && is_separator(path[2]))
        return true;
    return !path.empty() && is_separator(path[0]);
}

std::wstring drive_of(std::wstring_view path)
{
    if (path.size() >= 2 && path[1] == L':' &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')))
        return std::wstring(path.substr(0, 2));
    return {};
}

bool is_within(std::wstring_view path, std::wstring_view folder) noexcept
{
    if (folder.empty() || !istarts_with(path, folder))
        return false;
    return path.size() == folder.size() || is_separator(path[folder.size()]) || is_separator(folder.back());
}

} // namespace ov::path
