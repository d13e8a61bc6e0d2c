// Helpers of the signature tests: the Authenticode material that
// tests/common/trust_fixtures.py makes in the test run (its folder arrives in
// OV_TRUST_FIXTURES as a Windows path), the real setup.exe of this build, and
// a trust provider whose answers a test scripts.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "engine_test_support.h"
#include "paths.h"
#include "trust.h"

namespace trust_test {

using engine_test::narrow;

// A file of the test material.
inline std::wstring fixture(std::wstring_view name)
{
    wchar_t folder[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"OV_TRUST_FIXTURES", folder, MAX_PATH);
    EXPECT_TRUE(n > 0 && n < MAX_PATH) << "OV_TRUST_FIXTURES is not set: run the test through ctest";
    return ov::path::join(folder, name);
}

inline std::vector<BYTE> bytes_of(const std::wstring& path)
{
    const std::string text = engine_test::read_file(path);
    return std::vector<BYTE>(text.begin(), text.end());
}

// setup.exe of this build (tests/unit/../../Runtime/MSI/Shared/Setup).
inline std::wstring built_launcher()
{
    const std::wstring build = ov::path::folder_of(ov::path::folder_of(engine_test::this_program_folder()));
    return ov::path::join(build, L"Runtime\\MSI\\Shared\\Setup\\setup.exe");
}

// Stands in for the platform where it cannot answer as Windows does: the
// user's choice in the Authenticode dialog, a chain that Windows would not
// trust. Records how it was asked.
class ScriptedProvider final : public ov::trust_provider {
public:
    ov::trust::strict_outcome strict = ov::trust::strict_outcome::passed;
    ov::trust::legacy_outcome legacy = ov::trust::legacy_outcome::refused;

    int strict_calls = 0;
    int legacy_calls = 0;
    std::wstring file;
    std::wstring certificate;
    std::wstring legacy_file;
    HWND owner = reinterpret_cast<HWND>(static_cast<INT_PTR>(-1));

    ov::trust::strict_outcome strict_check(std::wstring_view f, std::wstring_view c) noexcept override
    {
        ++strict_calls;
        file = f;
        certificate = c;
        return strict;
    }
    ov::trust::legacy_outcome legacy_check(HWND o, std::wstring_view f) noexcept override
    {
        ++legacy_calls;
        owner = o;
        legacy_file = f;
        return legacy;
    }
};

} // namespace trust_test
