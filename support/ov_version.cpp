#include "ov_version.h"

#include "ov_format.h"

#include <windows.h>

#include <vector>

namespace ov {

std::wstring format_file_version(std::uint32_t versionMs, std::uint32_t versionLs)
{
    return ov::format(L"%u.%u.%u.%u", static_cast<unsigned>(versionMs >> 16),
                      static_cast<unsigned>(versionMs & 0xFFFFu), static_cast<unsigned>(versionLs >> 16),
                      static_cast<unsigned>(versionLs & 0xFFFFu));
}

std::wstring GetFileVersionText(std::wstring_view path)
{
    const std::wstring name(path);
    if (name.empty())
        return {};
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(name.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(name.c_str(), 0, size, block.data()))
        return {};
    void* data = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", &data, &length) || data == nullptr || length < sizeof(VS_FIXEDFILEINFO))
        return {};
    // The block is the file's own data: a resource without the fixed-info
    // signature is not a version resource to trust.
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(data);
    if (info->dwSignature != 0xFEEF04BDu)
        return {};
    return format_file_version(info->dwFileVersionMS, info->dwFileVersionLS);
}

} // namespace ov
