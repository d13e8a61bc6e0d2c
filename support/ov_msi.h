// The Windows Installer queries the launcher makes, through msi.dll loaded on
// first use and bound at run time: product information, source lists, and a
// package's summary information. Installing is MSIEXEC.EXE's job, never done
// through these functions.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace ov::msi {

// A product property ("PackageCode", "InstallSource", "PackageName",
// "Language", ...) of an installed product; nothing when the call fails.
[[nodiscard]] std::optional<std::wstring> product_info(std::wstring_view productCode, std::wstring_view property);

// The product's registered network sources in the machine context, by index.
[[nodiscard]] std::optional<std::wstring> network_source(std::wstring_view productCode, DWORD index);

// A summary-information property of a package file (7 the template, 9 the
// package code); nothing when the package or the property cannot be read.
// `status` (when given) receives the last status code of the calls.
[[nodiscard]] std::optional<std::wstring> summary_property(std::wstring_view packagePath, UINT property,
                                                           UINT* summaryStatus = nullptr,
                                                           UINT* propertyStatus = nullptr);

// Unloads msi.dll when it was loaded; answers FreeLibrary's result.
BOOL unload() noexcept;

} // namespace ov::msi
