#include "commandline.h"

#include "ov_string.h"

CommandLineScanner::CommandLineScanner(std::wstring_view text) : text_(text)
{
    // Only U+0020 separates tokens; double quotes toggle "inside" and stay in
    // the token, so "/tempdisk1folder"C:\a b"" keeps its quotes as value.
    size_t i = 0;
    while (i < text_.size()) {
        while (i < text_.size() && text_[i] == L' ')
            ++i;
        if (i >= text_.size())
            break;
        std::wstring token;
        bool quoted = false;
        for (; i < text_.size(); ++i) {
            const wchar_t c = text_[i];
            if (c == L'"')
                quoted = !quoted;
            else if (c == L' ' && !quoted)
                break;
            token.push_back(c);
        }
        tokens_.push_back(std::move(token));
    }
    used_.assign(tokens_.size(), 0);
}

bool CommandLineScanner::GetOption(std::wstring_view name, std::wstring* value, bool exact, bool consume)
{
    for (size_t t = 0; t < tokens_.size(); ++t) {
        const std::wstring_view token = tokens_[t];
        if (token.empty() || !IsOptionPrefix(token[0]))
            continue;
        const std::wstring_view option = token.substr(1);
        if (!ov::istarts_with(option, name))
            continue;
        const std::wstring_view candidate = option.substr(name.size());
        if (exact && !candidate.empty())
            continue;
        if (value)
            value->assign(candidate);
        used_[t] = consume ? 1 : 0;
        return true;
    }
    return false;
}

std::wstring CommandLineScanner::Remaining() const
{
    if (tokens_.empty())
        return text_;
    std::wstring out;
    for (size_t t = 0; t < tokens_.size(); ++t) {
        if (used_[t])
            continue;
        if (!out.empty())
            out.push_back(L' ');
        out.append(tokens_[t]);
    }
    return out;
}

bool CommandLineInfo::ParseAll(Callback callback, void* context, void (*on_invalid)(void* context))
{
    for (int i = 1; i < argc_; ++i) {
        const std::wstring_view arg = argv_[i] ? argv_[i] : L"";
        if (arg.empty() || !IsOptionPrefix(arg[0])) {
            if (on_invalid)
                on_invalid(context);
            return false;
        }
        if (!callback(context, arg.substr(1)))
            return false;
    }
    return true;
}
