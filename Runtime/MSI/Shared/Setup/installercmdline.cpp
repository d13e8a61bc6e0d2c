#include "installercmdline.h"

#include "ov_format.h"
#include "ov_string.h"
#include "paths.h"

namespace {

// Case-insensitive search from `from`; npos when absent.
size_t ifind(std::wstring_view text, std::wstring_view what, size_t from = 0)
{
    if (what.size() > text.size())
        return std::wstring_view::npos;
    for (size_t i = from; i + what.size() <= text.size(); ++i)
        if (ov::iequals(text.substr(i, what.size()), what))
            return i;
    return std::wstring_view::npos;
}

size_t irfind(std::wstring_view text, std::wstring_view what)
{
    if (what.size() > text.size())
        return std::wstring_view::npos;
    for (size_t i = text.size() - what.size() + 1; i-- > 0;)
        if (ov::iequals(text.substr(i, what.size()), what))
            return i;
    return std::wstring_view::npos;
}

} // namespace

void AddTransform(std::wstring_view transform, std::wstring& properties)
{
    constexpr std::wstring_view quotedName = L"TRANSFORMS=\"";
    constexpr std::wstring_view plainName = L"TRANSFORMS=";
    size_t start = ifind(properties, quotedName);
    if (start != std::wstring::npos) {
        start += quotedName.size();
    } else {
        start = ifind(properties, plainName);
        if (start == std::wstring::npos) {
            properties.append(L" TRANSFORMS=\"");
            properties.append(transform);
            properties.push_back(L'"');
            return;
        }
        start += plainName.size();
    }

    size_t end = irfind(properties, L".mst\"");
    if (end != std::wstring::npos) {
        end += 5;
    } else {
        end = irfind(properties, L".mst");
        if (end == std::wstring::npos) {
            properties.insert(start, transform);
            return;
        }
        end += 4;
    }
    // A quoted value's end sits after its closing quote: insert before it.
    if (end > 0 && properties[end - 1] == L'"')
        --end;

    const std::wstring listed = L"\\" + ov::path::file_name_of(transform);
    const size_t found = ifind(properties, listed, start);
    if (found != std::wstring::npos && found < end)
        return;
    properties.insert(end, L";" + std::wstring(transform));
}

PropertyString BuildPropertyString(const PropertyInputs& in)
{
    PropertyString out;
    out.text = in.cmdLine;
    if (in.severalLanguages && !in.quietStart && in.installMode != 5)
        AddTransform(in.languageTransform, out.text);

    const std::wstring folder = ov::path::folder_of(in.launcherPath);
    const std::wstring name = ov::path::file_name_of(in.launcherPath);

    if (in.usesScript && ifind(out.text, L"OVSCRIPTCMDLINE") == std::wstring::npos && !in.engineCommandLine.empty()) {
        if (!out.text.empty())
            out.text.push_back(L' ');
        out.text.append(L"OVSCRIPTCMDLINE=\"");
        out.text.append(in.engineCommandLine);
        out.text.push_back(L'"');
    }

    if (!in.rebootFirst) {
        out.launcherProperties = ov::format(L"%s=\"%s\" %s=\"%s\"", L"SETUPEXEDIR", folder, L"SETUPEXENAME", name);
        out.text.push_back(L' ');
        out.text.append(out.launcherProperties);
    }

    if (in.installMode == 3) {
        const size_t at = ifind(out.text, L"TRANSFORMS=");
        if (at != std::wstring::npos)
            out.text.replace(at, 11, L"/t ");
    }
    return out;
}

std::wstring BuildCommandLine(int installMode, std::wstring_view modeFlags, std::wstring_view packagePath,
                              std::wstring_view properties)
{
    switch (installMode) {
    case 1:
        // The property string normally starts with the blank that separates
        // it; one that starts with a /v value needs one of its own, or the
        // first property would run into the quoted package path.
        if (!properties.empty() && properties.front() != L' ')
            return ov::format(L"%s /a \"%s\" %s", kInstallerProgram, packagePath, properties);
        return ov::format(L"%s /a \"%s\"%s", kInstallerProgram, packagePath, properties);
    case 2:
        return ov::format(L"%s /f%s \"%s\" %s", kInstallerProgram, modeFlags, packagePath, properties);
    case 3:
        return ov::format(L"%s /j%s \"%s\" %s", kInstallerProgram, modeFlags, packagePath, properties);
    case 4:
        return ov::format(L"%s /x \"%s\" %s", kInstallerProgram, packagePath, properties);
    case 5:
        return ov::format(L"%s /p \"%s\" %s", kInstallerProgram, packagePath, properties);
    default:
        return ov::format(L"%s /i \"%s\" %s", kInstallerProgram, packagePath, properties);
    }
}
