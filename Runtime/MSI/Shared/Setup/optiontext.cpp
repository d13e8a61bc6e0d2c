#include "optiontext.h"

#include "ov_string.h"

void OptionText::Add(std::optional<std::wstring_view> name, std::optional<std::wstring_view> value, bool forceQuote,
                     bool scriptDrivenWithEmbeddedUi)
{
    if (!name) {
        if (value)
            text_.append(*value);
        return;
    }
    const std::wstring_view v = value ? *value : std::wstring_view();

    std::wstring escaped;
    for (const wchar_t c : v) {
        if (c == L'"')
            escaped.push_back(L'\\');
        escaped.push_back(c);
    }

    std::wstring piece = L" ";
    piece.append(*name);
    if (!v.empty()) {
        const bool quote = forceQuote || v.find_first_of(L" \"") != std::wstring_view::npos;
        if (quote) {
            piece.push_back(L'"');
            piece.append(escaped);
            piece.push_back(L'"');
        } else {
            piece.append(v);
        }
    }

    bool forEngine = false;
    if (ov::icontains(*name, L"no_engine") || *name == L"-d" || *name == L"/d")
        forEngine = true;
    else if (ov::icontains(*name, L"auto"))
        forEngine = true;
    else if (scriptDrivenWithEmbeddedUi && *name != L"/v")
        forEngine = true;

    if (forEngine) {
        engine_.push_back(L' ');
        engine_.append(*name);
        if (v.find(L'"') != std::wstring_view::npos) {
            engine_.push_back(L'"');
            engine_.append(v);
            engine_.push_back(L'"');
        } else {
            engine_.append(v);
        }
    }
    text_.append(piece);
}
