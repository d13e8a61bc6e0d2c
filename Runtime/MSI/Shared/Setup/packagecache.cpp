#include "packagecache.h"

#include "diskaction.h"
#include "errordialog.h"
#include "languagematch.h"
#include "exitcodes.h"
#include "ov_exceptions.h"
#include "ov_format.h"
#include "ov_handles.h"
#include "ov_msi.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "utils.h"

#include <windows.h>
#include <shlobj.h>

namespace {

constexpr long kNoCaching = -2;
constexpr long kFullFolder = -1;
constexpr UINT kPackageCodeProperty = 9;

std::wstring package_code(const std::wstring& path)
{
    auto code = ov::msi::summary_property(path, kPackageCodeProperty);
    if (!code)
        return {};
    if (code->size() > 72)
        code->resize(72);
    return *code;
}

// Creates every missing folder along `folder`.
void create_folders(const std::wstring& folder)
{
    std::wstring partial;
    for (const auto& piece : ov::split(folder, L'\\')) {
        partial = partial.empty() ? piece : partial + L"\\" + piece;
        if (partial.size() <= 2 || (partial.size() == 2 && partial[1] == L':'))
            continue;
        ::CreateDirectoryW(partial.c_str(), nullptr);
    }
}

bool copy_file(const std::wstring& from, const std::wstring& to, bool overwrite)
{
    return ::CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE) != FALSE;
}

} // namespace

bool ChooseCacheFolder(Session& session, std::wstring& target, std::wstring_view packageName)
{
    SetupContext& context = session.Context();
    if (!context.Interactive()) {
        Process().SetupResult = exit_code::no_cache_folder;
        return false;
    }
    const std::wstring title = context.LoadString(IDS_CACHE_FOLDER_PROMPT);
    BROWSEINFOW browse = {};
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
    if (!chosen)
        return false;
    wchar_t folder[MAX_PATH] = {};
    const BOOL got = ::SHGetPathFromIDListW(chosen, folder);
    ::CoTaskMemFree(chosen);
    if (!got)
        return false;
    target = ov::path::join(folder, packageName);
    return true;
}

bool CachePackage(Session& session, std::wstring_view packageName, std::wstring& packagePath)
{
    SetupContext& context = session.Context();
    const std::wstring section(packageName);
    const long root = static_cast<long>(session.GetSetupIniNumber(section, L"CacheRoot", kNoCaching));
    const std::wstring cacheLocation = session.Get(CacheLocation);
    if (root < kFullFolder && cacheLocation.empty())
        return true;
    const std::wstring cacheFolder = session.GetSetupIniString(section, L"CacheFolder", L"");

    std::wstring folder;
    std::wstring target;
    if (!cacheLocation.empty() || root == kFullFolder) {
        folder = cacheLocation.empty() ? cacheFolder : ov::path::unquote(cacheLocation);
    } else {
        using GetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
        ov::unique_hmodule shfolder(::LoadLibraryW(L"SHFolder.dll"));
        const auto getFolder = shfolder ? reinterpret_cast<GetFolderPathFn>(reinterpret_cast<void*>(
                                              ::GetProcAddress(shfolder.get(), "SHGetFolderPathW")))
                                        : nullptr;
        wchar_t base[MAX_PATH] = {};
        if (getFolder && SUCCEEDED(getFolder(nullptr, static_cast<int>(root), nullptr, 0, base))) {
            folder = ov::path::join(base, cacheFolder);
            const std::wstring code = package_code(packagePath);
            if (!code.empty())
                folder = ov::path::join(folder, code);
        } else if (!ChooseCacheFolder(session, target, packageName)) {
            return false;
        } else {
            folder = ov::path::folder_of(target);
        }
    }
    if (target.empty()) {
        create_folders(folder);
        target = ov::path::join(folder, packageName);
    }

    if (!ov::iequals(target, packagePath)) {
        for (;;) {
            bool overwrite = false;
            if (FileExists(target)) {
                const std::wstring existing = package_code(target);
                const std::wstring ours = package_code(packagePath);
                if (!existing.empty() && !ours.empty() && ov::iequals(existing, ours)) {
                    overwrite = true;
                } else {
                    const std::wstring question = ov::format(context.LoadString(IDS_REPLACE_FILE), target);
                    const int answer = context.Ask(nullptr, question, MB_YESNO | MB_ICONQUESTION, IDYES);
                    if (answer == IDYES) {
                        overwrite = true;
                    } else {
                        if (!ChooseCacheFolder(session, target, packageName))
                            return false;
                        folder = ov::path::folder_of(target);
                        continue;
                    }
                }
            }
            log_message(OV_HERE, L"Copying file for cache to %s", target);
            if (copy_file(packagePath, target, overwrite))
                break;
            const DWORD error = ov::last_error_or();
            ErrorDialog(context).show_error_text(ov::format(context.LoadString(IDS_SAVE_FAILED), target) + L"\n" +
                                                 ov::system_error_text(error));
            log_message(OV_HERE, L"Failed to cache file, last error %d, prompting for alternate location",
                        static_cast<int>(error));
            if (!ChooseCacheFolder(session, target, packageName))
                return false;
            folder = ov::path::folder_of(target);
        }
    }

    const std::wstring targetFolder = ov::path::folder_of(target);
    if (context.SupportedLanguages().size() > 1) {
        const std::wstring name = std::to_wstring(context.Language()) + L".MST";
        const std::wstring from = ov::path::join(Process().TempFolder, name);
        const std::wstring to = ov::path::join(targetFolder, name);
        log_message(OV_HERE, L"Caching transform %s to %s", from, to);
        if (copy_file(from, to, true) && ov::iequals(session.Get(LanguageTransform), from))
            session.Set(LanguageTransform, to);
    }

    if (session.GetSetupIniInt(L"Startup", L"ScriptDriven", 0, 10) == 1) {
        const std::wstring iniFolder = ov::path::folder_of(Process().SetupIniPath);
        // The language file is named "0x%04x.ini" (0x0409.ini), as extracted.
        const std::wstring languageFile = LanguageFileName(context.Language());
        const std::wstring from = ov::path::join(iniFolder, languageFile);
        log_message(OV_HERE, L"Caching ini file %s to %s", from, ov::path::join(targetFolder, languageFile));
        (void)copy_file(from, ov::path::join(targetFolder, languageFile), true);
        const std::wstring skin = ov::path::join(ov::path::folder_of(packagePath), L"setup.ovn");
        if (FileExists(skin)) {
            log_message(OV_HERE, L"Caching skin %s to %s", skin, targetFolder);
            (void)copy_file(skin, ov::path::join(targetFolder, L"setup.ovn"), true);
            const std::wstring ini = ov::path::join(targetFolder, L"Setup.INI");
            log_message(OV_HERE, L"Caching ini file %s to %s", Process().SetupIniPath, ini);
            (void)copy_file(Process().SetupIniPath, ini, true);
        }
    }

    ov::profilefilex launcherIni;
    (void)LoadLauncherSetupIni(launcherIni);
    for (int n = 0;; ++n) {
        const std::wstring url = ReadSetupIniValue(launcherIni, section, ov::format(L"Cab%d", n), 1024);
        if (url.empty())
            break;
        const std::wstring name = ov::path::url_file_name(url);
        const std::wstring from = ov::path::join(Process().TempFolder, name);
        const std::wstring to = ov::path::join(folder, name);
        log_message(OV_HERE, L"Moving file %s to %s", from, to);
        if (!::MoveFileW(from.c_str(), to.c_str())) {
            log_message(OV_HERE, L"Move failed, attempting to copy and delete file, last error %d",
                        static_cast<int>(::GetLastError()));
            if (copy_file(from, to, true))
                ::DeleteFileW(from.c_str());
        }
    }

    packagePath = target;
    return true;
}
