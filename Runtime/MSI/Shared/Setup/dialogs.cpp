#include "dialogs.h"

#include "setupcontext.h"

#include <cstring>
#include <vector>

namespace {

// A movable copy of a dialog template, with the right-to-left layout added
// when the setup language is written right to left.
std::vector<unsigned char> load_template(const SetupContext& context, int templateId)
{
    const HINSTANCE instance = context.Instance();
    const HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(templateId), RT_DIALOG);
    if (!resource)
        return {};
    const HGLOBAL loaded = ::LoadResource(instance, resource);
    const DWORD size = ::SizeofResource(instance, resource);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data || size < sizeof(DLGTEMPLATE))
        return {};
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(data),
                                    static_cast<const unsigned char*>(data) + size);
    if (context.IsRtlLanguage(context.Language())) {
        // DLGTEMPLATEEX starts with dlgVer 1 and signature 0xFFFF; its
        // extended style follows helpID. The classic template starts with style.
        WORD version = 0, signature = 0;
        std::memcpy(&version, copy.data(), sizeof version);
        std::memcpy(&signature, copy.data() + 2, sizeof signature);
        const size_t exStyleOffset = (version == 1 && signature == 0xFFFF) ? 8 : 4;
        if (copy.size() >= exStyleOffset + sizeof(DWORD)) {
            DWORD exStyle = 0;
            std::memcpy(&exStyle, copy.data() + exStyleOffset, sizeof exStyle);
            exStyle |= WS_EX_LAYOUTRTL;
            std::memcpy(copy.data() + exStyleOffset, &exStyle, sizeof exStyle);
        }
    }
    return copy;
}

} // namespace

INT_PTR run_dialog(const SetupContext& context, int templateId, HWND owner, DLGPROC procedure, LPARAM parameter,
                   INT_PTR defaultAnswer, unsigned flags) noexcept
{
    if (!context.Interactive() && (flags & dialog_flags::even_when_silent) == 0)
        return defaultAnswer;
    try {
        const auto copy = load_template(context, templateId);
        if (copy.empty())
            return -1;
        return ::DialogBoxIndirectParamW(context.Instance(), reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), owner,
                                         procedure, parameter);
    } catch (...) {
        return -1;
    }
}

HWND create_dialog(const SetupContext& context, int templateId, HWND owner, DLGPROC procedure, LPARAM parameter,
                   unsigned flags) noexcept
{
    if (!context.Interactive() && (flags & dialog_flags::even_when_silent) == 0)
        return nullptr;
    try {
        const auto copy = load_template(context, templateId);
        if (copy.empty())
            return nullptr;
        return ::CreateDialogIndirectParamW(context.Instance(), reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), owner,
                                            procedure, parameter);
    } catch (...) {
        return nullptr;
    }
}
