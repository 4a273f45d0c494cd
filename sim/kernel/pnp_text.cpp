// Text helpers of the PnP manager: UTF-8/UTF-16, case-insensitive compare,
// and the REG_SZ / REG_MULTI_SZ layouts of identifier lists.
#include "pnp_internal.h"
#include "rtl_text.h"

namespace sim {
namespace pnp {

std::u16string U16(const std::string& utf8)
{
    return Utf16(utf8);
}

std::string U8(const std::u16string& s)
{
    return Utf8(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

std::u16string Upper(const std::u16string& s)
{
    return rtl::Upcase(s);
}

bool SameText(const std::u16string& a, const std::u16string& b)
{
    return rtl::EqualNoCase(a, b);
}

std::vector<std::u16string> SplitMultiSz(const wchar_t* multi)
{
    std::vector<std::u16string> out;
    for (const wchar_t* p = multi; *p;) {
        std::u16string s;
        while (*p)
            s.push_back((char16_t)*p++);
        out.push_back(s);
        ++p;
    }
    return out;
}

std::vector<uint8_t> SzBytes(const std::u16string& s)
{
    std::vector<uint8_t> b((s.size() + 1) * 2, 0);
    memcpy(b.data(), s.data(), s.size() * 2);
    return b;
}

std::vector<uint8_t> MultiSzBytes(const std::vector<std::u16string>& items)
{
    std::vector<uint8_t> b;
    for (auto& s : items) {
        auto one = SzBytes(s);
        b.insert(b.end(), one.begin(), one.end());
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

}  // namespace pnp
}  // namespace sim
