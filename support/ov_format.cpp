#include "ov_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ov {

std::int64_t format_arg::as_signed() const noexcept
{
    switch (kind_) {
    case kind::signed_int:
        return i_;
    case kind::unsigned_int:
    case kind::pointer:
        return static_cast<std::int64_t>(u_);
    case kind::floating:
        return static_cast<std::int64_t>(d_);
    default:
        return 0;
    }
}

std::uint64_t format_arg::as_unsigned() const noexcept
{
    switch (kind_) {
    case kind::signed_int: {
        // Reinterpret within the argument's own width, as printf would.
        if (bits_ >= 64)
            return static_cast<std::uint64_t>(i_);
        const std::uint64_t mask = (std::uint64_t{1} << bits_) - 1;
        return static_cast<std::uint64_t>(i_) & mask;
    }
    case kind::unsigned_int:
    case kind::pointer:
        return u_;
    case kind::floating:
        return static_cast<std::uint64_t>(d_);
    default:
        return 0;
    }
}

double format_arg::as_double() const noexcept
{
    switch (kind_) {
    case kind::floating:
        return d_;
    case kind::signed_int:
        return static_cast<double>(i_);
    case kind::unsigned_int:
        return static_cast<double>(u_);
    default:
        return 0;
    }
}

std::wstring format_arg::as_text() const
{
    switch (kind_) {
    case kind::wide_text:
        return std::wstring(w_);
    case kind::narrow_text: {
        std::wstring out;
        for (unsigned char c : n_)
            out.push_back(static_cast<wchar_t>(c));
        return out;
    }
    case kind::signed_int:
        return std::to_wstring(i_);
    case kind::unsigned_int:
        return std::to_wstring(u_);
    default:
        return {};
    }
}

namespace {

// Widths and precisions beyond this are cut: no message needs more.
constexpr int kMaxWidth = 100000;

struct spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
};

void pad_into(std::wstring& out, const spec& s, std::wstring_view sign, std::wstring_view prefix,
              std::wstring_view body, bool numeric)
{
    const size_t len = sign.size() + prefix.size() + body.size();
    const size_t width = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    const size_t fill = width > len ? width - len : 0;
    if (s.left) {
        out.append(sign).append(prefix).append(body).append(fill, L' ');
    } else if (s.zero && numeric) {
        out.append(sign).append(prefix).append(fill, L'0').append(body);
    } else {
        out.append(fill, L' ').append(sign).append(prefix).append(body);
    }
}

std::wstring digits(std::uint64_t v, unsigned base, bool upper)
{
    if (v == 0)
        return L"0";
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring r;
    while (v) {
        r.insert(r.begin(), set[v % base]);
        v /= base;
    }
    return r;
}

} // namespace

std::wstring vformat(std::wstring_view format, const format_arg* args, size_t count)
{
    std::wstring out;
    out.reserve(format.size() + 16 * count);
    size_t next = 0;
    auto take = [&]() -> const format_arg* { return next < count ? &args[next++] : nullptr; };

    for (size_t i = 0; i < format.size(); ++i) {
        const wchar_t c = format[i];
        if (c != L'%') {
            out.push_back(c);
            continue;
        }
        const size_t start = i;
        if (++i >= format.size()) {
            out.push_back(L'%');
            break;
        }
        if (format[i] == L'%') {
            out.push_back(L'%');
            continue;
        }
        spec s;
        for (; i < format.size(); ++i) {
            const wchar_t f = format[i];
            if (f == L'-')
                s.left = true;
            else if (f == L'+')
                s.plus = true;
            else if (f == L' ')
                s.space = true;
            else if (f == L'#')
                s.alt = true;
            else if (f == L'0')
                s.zero = true;
            else
                break;
        }
        if (i < format.size() && format[i] == L'*') {
            const auto* a = take();
            const std::int64_t w = a ? a->as_signed() : 0;
            s.left = s.left || w < 0;
            s.width = static_cast<int>(std::min<std::int64_t>(w < 0 ? -w : w, kMaxWidth));
            ++i;
        } else {
            for (; i < format.size() && format[i] >= L'0' && format[i] <= L'9'; ++i)
                s.width = std::min(s.width * 10 + (format[i] - L'0'), kMaxWidth);
        }
        if (i < format.size() && format[i] == L'.') {
            ++i;
            s.precision = 0;
            if (i < format.size() && format[i] == L'*') {
                const auto* a = take();
                const std::int64_t p = a ? a->as_signed() : 0;
                s.precision = p < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(p, kMaxWidth));
                ++i;
            } else {
                for (; i < format.size() && format[i] >= L'0' && format[i] <= L'9'; ++i)
                    s.precision = std::min(s.precision * 10 + (format[i] - L'0'), kMaxWidth);
            }
        }
        // Length modifiers only matter for text width here.
        bool narrow = false, wide = false;
        while (i < format.size()) {
            const wchar_t m = format[i];
            if (m == L'h') {
                narrow = true;
                ++i;
            } else if (m == L'l' || m == L'w') {
                wide = true;
                ++i;
            } else if (m == L'L' || m == L'j' || m == L'z' || m == L't' || m == L'q') {
                ++i;
            } else if (m == L'I') {
                ++i;
                if (format.substr(i, 2) == L"64" || format.substr(i, 2) == L"32")
                    i += 2;
            } else
                break;
        }
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        const wchar_t conv = format[i];
        switch (conv) {
        case L'd':
        case L'i': {
            const auto* a = take();
            const std::int64_t v = a ? a->as_signed() : 0;
            const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            std::wstring body = (s.precision == 0 && mag == 0) ? std::wstring() : digits(mag, 10, false);
            if (s.precision > 0 && body.size() < static_cast<size_t>(s.precision))
                body.insert(0, static_cast<size_t>(s.precision) - body.size(), L'0');
            const wchar_t* sign = v < 0 ? L"-" : (s.plus ? L"+" : (s.space ? L" " : L""));
            pad_into(out, s, sign, L"", body, s.precision < 0);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            const auto* a = take();
            std::uint64_t v = a ? a->as_unsigned() : 0;
            // A 64-bit signed argument printed with a 32-bit conversion keeps
            // the low 32 bits, as on Windows.
            if (a && a->type() == format_arg::kind::signed_int && a->bits() >= 64 && (a->as_signed() < 0) &&
                a->as_signed() >= INT32_MIN)
                v &= 0xFFFFFFFFu;
            const unsigned base = conv == L'u' ? 10 : (conv == L'o' ? 8 : 16);
            std::wstring body = (s.precision == 0 && v == 0) ? std::wstring() : digits(v, base, conv == L'X');
            if (s.precision > 0 && body.size() < static_cast<size_t>(s.precision))
                body.insert(0, static_cast<size_t>(s.precision) - body.size(), L'0');
            std::wstring prefix;
            if (s.alt && v != 0) {
                if (conv == L'x')
                    prefix = L"0x";
                else if (conv == L'X')
                    prefix = L"0X";
                else if (conv == L'o')
                    prefix = L"0";
            }
            pad_into(out, s, L"", prefix, body, s.precision < 0);
            break;
        }
        case L'c':
        case L'C': {
            const auto* a = take();
            const wchar_t ch = a ? static_cast<wchar_t>(a->as_unsigned()) : L'\0';
            pad_into(out, s, L"", L"", std::wstring(ch ? 1 : 0, ch), false);
            break;
        }
        case L's':
        case L'S': {
            const auto* a = take();
            std::wstring text = a ? a->as_text() : std::wstring();
            (void)narrow;
            (void)wide;
            if (s.precision >= 0 && text.size() > static_cast<size_t>(s.precision))
                text.resize(static_cast<size_t>(s.precision));
            pad_into(out, s, L"", L"", text, false);
            break;
        }
        case L'p': {
            const auto* a = take();
            std::wstring body = digits(a ? a->as_unsigned() : 0, 16, true);
            const size_t want = sizeof(void*) * 2;
            if (body.size() < want)
                body.insert(0, want - body.size(), L'0');
            pad_into(out, s, L"", L"", body, false);
            break;
        }
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G': {
            const auto* a = take();
            const double v = a ? a->as_double() : 0.0;
            char fmt[16] = "%.*f";
            fmt[3] = static_cast<char>(conv);
            char buf[512];
            const int prec = s.precision < 0 ? 6 : (s.precision > 100 ? 100 : s.precision);
            const int n = std::snprintf(buf, sizeof buf, fmt, prec, std::isfinite(v) ? v : 0.0);
            std::wstring body;
            for (int k = 0; k < n && k < static_cast<int>(sizeof buf); ++k)
                body.push_back(static_cast<wchar_t>(buf[k]));
            std::wstring sign;
            if (!body.empty() && body[0] == L'-') {
                sign = L"-";
                body.erase(0, 1);
            } else if (s.plus) {
                sign = L"+";
            } else if (s.space) {
                sign = L" ";
            }
            pad_into(out, s, sign, L"", body, true);
            break;
        }
        case L'n':
            // Never write through an argument.
            take();
            break;
        default:
            out.append(format.substr(start, i - start + 1));
            break;
        }
    }
    return out;
}

std::wstring format_inserts(std::wstring_view text, const std::wstring* inserts, size_t count)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'9') {
            const size_t index = static_cast<size_t>(text[i + 1] - L'1');
            if (index < count)
                out.append(inserts[index]);
            ++i;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

} // namespace ov
