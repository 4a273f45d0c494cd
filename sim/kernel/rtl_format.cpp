// The C run-time formatters ntoskrnl exports (_vsnwprintf, _snwprintf,
// _vsnprintf, _snprintf), with the Windows rules: UTF-16 wide text, %s/%c
// take the format's own width and %S/%C the other one (h forces narrow, l/w
// wide), %Z/%wZ print counted strings, %p prints 16 upper-case hex digits,
// l is 32-bit, I/I64/I32 select pointer/64/32-bit integers, and a bounded
// call that runs out of room writes `count` characters, no terminator, and
// returns -1.
//
// Integer and string conversions are done here for both widths; floating
// conversions (which kernel code rarely uses) delegate the digits to the host
// snprintf and are then widened.
#include "internal.h"
#include "rtl_text.h"

#include <stdio.h>

namespace {

enum class Size { Default, Char, Short, Long, LongLong, Int64, Int32, Ptr, Wide, LongDouble };

struct Directive {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::Default;
};

template <typename Ch>
class Formatter {
public:
    Formatter(const Ch* format, va_list* args) : fmt_(format), args_(args) {}

    // False when the format is invalid (as the run-time library's invalid
    // parameter path, the caller then returns -1).
    bool Run()
    {
        for (const Ch* p = fmt_; *p;) {
            if (*p != '%') {
                out_ += *p++;
                continue;
            }
            ++p;
            if (*p == 0)
                break;
            if (!Conversion(p))
                return false;
        }
        return true;
    }

    const std::basic_string<Ch>& Text() const { return out_; }
    bool CrossedWidths() const { return crossed_; }

private:
    static constexpr bool kWideFormat = sizeof(Ch) == 2;

    int IntArg() { return va_arg(*args_, int); }

    bool Conversion(const Ch*& p)
    {
        Directive s;
        for (;; ++p) {
            if (*p == '-')
                s.left = true;
            else if (*p == '+')
                s.plus = true;
            else if (*p == ' ')
                s.space = true;
            else if (*p == '#')
                s.alt = true;
            else if (*p == '0')
                s.zero = true;
            else
                break;
        }
        if (*p == '*') {
            s.width = IntArg();
            if (s.width < 0) {
                s.left = true;
                s.width = -s.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                s.width = s.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            s.precision = 0;
            if (*p == '*') {
                s.precision = IntArg();
                if (s.precision < 0)
                    s.precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    s.precision = s.precision * 10 + (*p++ - '0');
            }
        }
        switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') {
                ++p;
                s.size = Size::Char;
            } else
                s.size = Size::Short;
            break;
        case 'l':
            ++p;
            if (*p == 'l') {
                ++p;
                s.size = Size::LongLong;
            } else
                s.size = Size::Long;
            break;
        case 'w':
            ++p;
            s.size = Size::Wide;
            break;
        case 'L':
            ++p;
            s.size = Size::LongDouble;
            break;
        case 'z':
        case 'j':
        case 't':
            ++p;
            s.size = Size::Int64;
            break;
        case 'I':
            ++p;
            if (p[0] == '6' && p[1] == '4') {
                p += 2;
                s.size = Size::Int64;
            } else if (p[0] == '3' && p[1] == '2') {
                p += 2;
                s.size = Size::Int32;
            } else
                s.size = Size::Ptr;
            break;
        default:
            break;
        }
        Ch conv = *p;
        if (conv == 0)
            return true;
        ++p;
        switch (conv) {
        case 'd':
        case 'i':
            Signed(s);
            return true;
        case 'u':
            Unsigned(s, 10, false);
            return true;
        case 'o':
            Unsigned(s, 8, false);
            return true;
        case 'x':
            Unsigned(s, 16, false);
            return true;
        case 'X':
            Unsigned(s, 16, true);
            return true;
        case 'p':
            Pointer(s);
            return true;
        case 'c':
        case 'C':
            Char(s, WideArgument(s, conv == 'C'));
            return true;
        case 's':
        case 'S':
            String(s, WideArgument(s, conv == 'S'));
            return true;
        case 'Z':
            Counted(s, WideArgument(s, false));
            return true;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            Floating(s, static_cast<char>(conv));
            return true;
        case 'n':
            return false;  // %n is disabled in the Windows run-time library
        case '%':
            out_ += Ch('%');
            return true;
        default:
            out_ += conv;
            return true;  // unknown conversions print themselves
        }
    }

    // Whether a c/s/Z argument is wide: the format's own width for the
    // lower-case letter, the other width for the upper-case one; h forces
    // narrow, l and w force wide.
    bool WideArgument(const Directive& s, bool upper)
    {
        bool wide;
        if (s.size == Size::Short)
            wide = false;
        else if (s.size == Size::Long || s.size == Size::Wide)
            wide = true;
        else
            wide = upper ? !kWideFormat : kWideFormat;
        if (wide != kWideFormat)
            crossed_ = true;
        return wide;
    }

    void Pad(int n, Ch c)
    {
        for (int i = 0; i < n; ++i)
            out_ += c;
    }

    void Emit(const Directive& s, const std::basic_string<Ch>& prefix, const std::basic_string<Ch>& body,
              bool zeroAllowed)
    {
        int len = (int)(prefix.size() + body.size());
        int fill = s.width > len ? s.width - len : 0;
        if (s.left) {
            out_ += prefix;
            out_ += body;
            Pad(fill, ' ');
        } else if (s.zero && zeroAllowed) {
            out_ += prefix;
            Pad(fill, '0');
            out_ += body;
        } else {
            Pad(fill, ' ');
            out_ += prefix;
            out_ += body;
        }
    }

    static std::basic_string<Ch> Digits(uint64_t v, unsigned base, bool upper)
    {
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::basic_string<Ch> d;
        do {
            d.insert(d.begin(), Ch(set[v % base]));
            v /= base;
        } while (v);
        return d;
    }

    void Integer(const Directive& s, uint64_t magnitude, bool negative, unsigned base, bool upper, bool isSigned)
    {
        std::basic_string<Ch> body;
        if (!(s.precision == 0 && magnitude == 0))
            body = Digits(magnitude, base, upper);
        if (s.precision > (int)body.size())
            body.insert(0, s.precision - body.size(), Ch('0'));
        std::basic_string<Ch> prefix;
        if (isSigned) {
            if (negative)
                prefix += Ch('-');
            else if (s.plus)
                prefix += Ch('+');
            else if (s.space)
                prefix += Ch(' ');
        }
        if (s.alt && base == 16 && magnitude != 0) {
            prefix += Ch('0');
            prefix += Ch(upper ? 'X' : 'x');
        }
        if (s.alt && base == 8 && (body.empty() || body[0] != '0'))
            body.insert(body.begin(), Ch('0'));
        Emit(s, prefix, body, s.precision < 0);
    }

    void Signed(const Directive& s)
    {
        int64_t v;
        switch (s.size) {
        case Size::Char:
            v = (signed char)IntArg();
            break;
        case Size::Short:
            v = (short)IntArg();
            break;
        case Size::LongLong:
        case Size::Int64:
        case Size::Ptr:
            v = va_arg(*args_, long long);
            break;
        default:
            v = IntArg();
            break;  // int, long and I32 are 32-bit on Windows
        }
        uint64_t mag = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
        Integer(s, mag, v < 0, 10, false, true);
    }

    void Unsigned(const Directive& s, unsigned base, bool upper)
    {
        uint64_t v;
        switch (s.size) {
        case Size::Char:
            v = (unsigned char)IntArg();
            break;
        case Size::Short:
            v = (unsigned short)IntArg();
            break;
        case Size::LongLong:
        case Size::Int64:
        case Size::Ptr:
            v = va_arg(*args_, unsigned long long);
            break;
        default:
            v = (unsigned int)IntArg();
            break;
        }
        Integer(s, v, false, base, upper, false);
    }

    void Pointer(const Directive& s)
    {
        uint64_t v = (uint64_t)(uintptr_t)va_arg(*args_, void*);
        std::basic_string<Ch> body = Digits(v, 16, true);
        body.insert(0, 16 - body.size(), Ch('0'));
        Directive plain = s;
        plain.zero = false;
        Emit(plain, std::basic_string<Ch>(), body, false);
    }

    static Ch FromWide(char16_t c)
    {
        if (kWideFormat)
            return Ch(c);
        return Ch(sim::rtl::WideToNarrow(c));
    }
    static Ch FromNarrow(char c)
    {
        if (kWideFormat)
            return Ch(sim::rtl::NarrowToWide((unsigned char)c));
        return Ch(c);
    }

    void Char(const Directive& s, bool wide)
    {
        int v = IntArg();
        std::basic_string<Ch> body(1, wide ? FromWide((char16_t)v) : FromNarrow((char)v));
        Emit(s, std::basic_string<Ch>(), body, true);
    }

    static std::basic_string<Ch> Null()
    {
        const char* t = "(null)";
        std::basic_string<Ch> r;
        for (; *t; ++t)
            r += Ch(*t);
        return r;
    }

    void Text(const Directive& s, const void* text, size_t maxChars, bool wide, bool counted)
    {
        std::basic_string<Ch> body;
        if (!text) {
            body = Null();
        } else if (wide) {
            const char16_t* w = static_cast<const char16_t*>(text);
            for (size_t i = 0; (counted ? i < maxChars : w[i] != 0) && (s.precision < 0 || (int)i < s.precision); ++i)
                body += FromWide(w[i]);
        } else {
            const char* n = static_cast<const char*>(text);
            for (size_t i = 0; (counted ? i < maxChars : n[i] != 0) && (s.precision < 0 || (int)i < s.precision); ++i)
                body += FromNarrow(n[i]);
        }
        Emit(s, std::basic_string<Ch>(), body, true);
    }

    void String(const Directive& s, bool wide) { Text(s, va_arg(*args_, const void*), 0, wide, false); }

    void Counted(const Directive& s, bool wide)
    {
        if (wide) {
            const UNICODE_STRING* u = va_arg(*args_, const UNICODE_STRING*);
            if (!u || !u->Buffer)
                Text(s, nullptr, 0, true, true);
            else
                Text(s, u->Buffer, u->Length / sizeof(WCHAR), true, true);
        } else {
            const ANSI_STRING* a = va_arg(*args_, const ANSI_STRING*);
            if (!a || !a->Buffer)
                Text(s, nullptr, 0, false, true);
            else
                Text(s, a->Buffer, a->Length, false, true);
        }
    }

    void Floating(const Directive& s, char conv)
    {
        double v = va_arg(*args_, double);
        char directive[32];
        int n = 0;
        directive[n++] = '%';
        if (s.left)
            directive[n++] = '-';
        if (s.plus)
            directive[n++] = '+';
        if (s.space)
            directive[n++] = ' ';
        if (s.alt)
            directive[n++] = '#';
        if (s.zero)
            directive[n++] = '0';
        directive[n++] = '*';
        directive[n++] = '.';
        directive[n++] = '*';
        directive[n++] = conv;
        directive[n] = 0;
        char digits[512];
        int len = snprintf(digits, sizeof(digits), directive, s.width, s.precision < 0 ? 6 : s.precision, v);
        if (len < 0)
            return;
        if (len >= (int)sizeof(digits))
            len = sizeof(digits) - 1;
        for (int i = 0; i < len; ++i)
            out_ += Ch(digits[i]);
    }

    const Ch* fmt_;
    va_list* args_;
    std::basic_string<Ch> out_;
    bool crossed_ = false;
};

template <typename Ch>
std::string FormatForReport(const Ch* format)
{
    std::string r;
    for (size_t i = 0; format[i] && i < 80; ++i)
        r += (format[i] < 0x80 && format[i] >= 0x20) ? (char)format[i] : '?';
    return r;
}

// Formats into buffer[0..count): the whole text and a terminator when it fits;
// exactly count characters and no terminator when the text is count long (the
// length is returned) or longer (-1 is returned).
template <typename Ch>
int FormatBounded(Ch* buffer, size_t count, const Ch* format, va_list args, const char* routine)
{
    if (!format)
        return -1;
    va_list copy;
    va_copy(copy, args);
    Formatter<Ch> f(format, &copy);
    bool ok = f.Run();
    va_end(copy);
    if (f.CrossedWidths() && sim::CurrentIrql() > PASSIVE_LEVEL) {
        sim::ReportViolation("STRING_CONVERSION_ABOVE_PASSIVE", "format \"" + FormatForReport(format) + "\"", routine,
                             "converting between narrow and wide text uses pageable code page tables; "
                             "call at PASSIVE_LEVEL");
    }
    if (!ok)
        return -1;
    const std::basic_string<Ch>& text = f.Text();
    if (!buffer)
        count = 0;
    size_t n = text.size() < count ? text.size() : count;
    if (n)
        memcpy(buffer, text.data(), n * sizeof(Ch));
    if (text.size() < count) {
        buffer[text.size()] = 0;
        return (int)text.size();
    }
    if (text.size() == count)
        return (int)count;
    return -1;
}

}  // namespace

extern "C" {

int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    return FormatBounded(reinterpret_cast<char16_t*>(buffer), count, reinterpret_cast<const char16_t*>(format), args,
                         "_vsnwprintf");
}

int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int r = FormatBounded(reinterpret_cast<char16_t*>(buffer), count, reinterpret_cast<const char16_t*>(format), args,
                          "_snwprintf");
    va_end(args);
    return r;
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    return FormatBounded(buffer, count, format, args, "_vsnprintf");
}

int _snprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int r = FormatBounded(buffer, count, format, args, "_snprintf");
    va_end(args);
    return r;
}

}  // extern "C"
