// Text helpers and the UTF-8/UTF-16 conversions at the machine's test boundary.
#include "rtl_text.h"

namespace sim {
namespace rtl {

size_t WideLength(const wchar_t* s)
{
    size_t n = 0;
    if (s)
        while (s[n] != 0)
            ++n;
    return n;
}

std::u16string ToU16(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer)
        return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string ToU16(const wchar_t* s)
{
    if (!s)
        return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(s), WideLength(s));
}

char16_t Upcase(char16_t c)
{
    if (c < 'a')
        return c;
    if (c <= 'z')
        return c - 0x20;
    if (c < 0xE0)
        return c == 0xB5 ? 0x39C : c;
    if (c <= 0xFE)
        return c == 0xF7 ? c : c - 0x20;
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs capital/small on even/odd code points, except
        // in the ranges 0x139-0x148 and 0x179-0x17E where the capital is odd.
        bool oddCapital = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F)
            return c;
        if (oddCapital)
            return (c & 1) ? c : c - 1;
        return (c & 1) ? c - 1 : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        return c - 0x20;
    if (c >= 0x430 && c <= 0x44F)
        return c - 0x20;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    return c;
}

std::u16string Upcase(const std::u16string& s)
{
    std::u16string r(s);
    for (auto& c : r)
        c = Upcase(c);
    return r;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i]))
            return false;
    return true;
}

char16_t NarrowToWide(unsigned char c)
{
    return c;
}
char WideToNarrow(char16_t c)
{
    return c <= 0xFF ? static_cast<char>(c) : '?';
}

}  // namespace rtl

std::string Utf8(const wchar_t* text, size_t chars)
{
    std::string out;
    if (!text)
        return out;
    if (chars == (size_t)-1)
        chars = rtl::WideLength(text);
    const char16_t* s = reinterpret_cast<const char16_t*>(text);
    for (size_t i = 0; i < chars; ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < chars && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string Utf8(const UNICODE_STRING& text)
{
    if (!text.Buffer)
        return std::string();
    return Utf8(text.Buffer, text.Length / sizeof(WCHAR));
}

std::u16string Utf16(const std::string& utf8)
{
    std::u16string out;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        unsigned char c = s[i];
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        bool bad = false;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (bad) {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace sim
