#include "ov_msi.h"

#include "ov_handles.h"

#include <vector>

namespace ov::msi {

namespace {

using MSIHANDLE = unsigned long;
constexpr UINT kMoreData = ERROR_MORE_DATA;
constexpr int kContextMachine = 4;  // MSIINSTALLCONTEXT_MACHINE
constexpr DWORD kSourceNetwork = 1; // MSISOURCETYPE_NETWORK

using GetProductInfoFn = UINT(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, DWORD*);
using SourceListEnumSourcesFn = UINT(WINAPI*)(LPCWSTR, LPCWSTR, int, DWORD, DWORD, LPWSTR, DWORD*);
using OpenDatabaseFn = UINT(WINAPI*)(LPCWSTR, LPCWSTR, MSIHANDLE*);
using GetSummaryInformationFn = UINT(WINAPI*)(MSIHANDLE, LPCWSTR, UINT, MSIHANDLE*);
using SummaryInfoGetPropertyFn = UINT(WINAPI*)(MSIHANDLE, UINT, UINT*, INT*, FILETIME*, LPWSTR, DWORD*);
using CloseHandleFn = UINT(WINAPI*)(MSIHANDLE);

HMODULE& module_slot() noexcept
{
    static HMODULE module = nullptr;
    return module;
}

template <typename F>
F bind(const char* name) noexcept
{
    HMODULE& module = module_slot();
    if (!module)
        module = ::LoadLibraryW(L"msi.dll");
    if (!module)
        return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Closes an MSIHANDLE when the scope ends.
class handle {
public:
    handle() noexcept = default;
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    ~handle()
    {
        if (value_)
            if (const auto close = bind<CloseHandleFn>("MsiCloseHandle"))
                close(value_);
    }
    MSIHANDLE* put() noexcept { return &value_; }
    MSIHANDLE get() const noexcept { return value_; }

private:
    MSIHANDLE value_ = 0;
};

} // namespace

std::optional<std::wstring> product_info(std::wstring_view productCode, std::wstring_view property)
{
    const auto query = bind<GetProductInfoFn>("MsiGetProductInfoW");
    if (!query)
        return std::nullopt;
    const std::wstring code(productCode), name(property);
    std::vector<wchar_t> buffer(1024);
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT status = query(code.c_str(), name.c_str(), buffer.data(), &size);
    if (status == kMoreData) {
        buffer.resize(size + 1);
        size = static_cast<DWORD>(buffer.size());
        status = query(code.c_str(), name.c_str(), buffer.data(), &size);
    }
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer.data(), size);
}

std::optional<std::wstring> network_source(std::wstring_view productCode, DWORD index)
{
    const auto enumerate = bind<SourceListEnumSourcesFn>("MsiSourceListEnumSourcesW");
    if (!enumerate)
        return std::nullopt;
    const std::wstring code(productCode);
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    if (enumerate(code.c_str(), nullptr, kContextMachine, kSourceNetwork, index, buffer, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer, size);
}

std::optional<std::wstring> summary_property(std::wstring_view packagePath, UINT property, UINT* summaryStatus,
                                             UINT* propertyStatus)
{
    const auto open = bind<OpenDatabaseFn>("MsiOpenDatabaseW");
    const auto summary = bind<GetSummaryInformationFn>("MsiGetSummaryInformationW");
    const auto get = bind<SummaryInfoGetPropertyFn>("MsiSummaryInfoGetPropertyW");
    if (!open || !summary || !get)
        return std::nullopt;
    const std::wstring path(packagePath);
    handle database;
    // A null persist mode opens the database read-only.
    if (open(path.c_str(), nullptr, database.put()) != ERROR_SUCCESS)
        return std::nullopt;
    handle info;
    const UINT s = summary(database.get(), nullptr, 0, info.put());
    if (summaryStatus)
        *summaryStatus = s;
    if (s != ERROR_SUCCESS)
        return std::nullopt;
    UINT type = 0;
    INT number = 0;
    FILETIME time = {};
    std::vector<wchar_t> buffer(80);
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT p = get(info.get(), property, &type, &number, &time, buffer.data(), &size);
    if (p == kMoreData) {
        buffer.resize(size + 1);
        size = static_cast<DWORD>(buffer.size());
        p = get(info.get(), property, &type, &number, &time, buffer.data(), &size);
    }
    if (propertyStatus)
        *propertyStatus = p;
    if (p != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer.data(), size);
}

BOOL unload() noexcept
{
    HMODULE& module = module_slot();
    if (!module)
        return FALSE;
    const BOOL freed = ::FreeLibrary(module);
    module = nullptr;
    return freed;
}

} // namespace ov::msi
