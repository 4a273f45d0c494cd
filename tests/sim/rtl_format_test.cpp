// The Windows C run-time formatters: the bounded-output contract at the
// buffer boundaries and the conversions that differ from the host C library.
#include "machine_fixture.h"

#include <vector>

namespace {

// Formats into a buffer of `count` characters pre-filled with a marker.
struct Wide {
    std::vector<wchar_t> buf;
    int ret;
    template <typename... A>
    Wide(size_t count, const wchar_t* fmt, A... args) : buf(count + 4, (wchar_t)0xAAAA)
    {
        ret = _snwprintf(buf.data(), count, fmt, args...);
    }
    std::string Text(size_t n) const { return sim::Utf8(buf.data(), n); }
    std::string Str() const { return sim::Utf8(buf.data()); }
};

struct Narrow {
    std::vector<char> buf;
    int ret;
    template <typename... A>
    Narrow(size_t count, const char* fmt, A... args) : buf(count + 4, '#')
    {
        ret = _snprintf(buf.data(), count, fmt, args...);
    }
    std::string Str() const { return std::string(buf.data()); }
};

TEST(RtlFormatTest, WideOutputAtCountBoundaries)
{
    Wide more(6, L"%s", L"abcde");  // count = length + 1
    EXPECT_EQ(more.ret, 5);
    EXPECT_EQ(more.buf[5], 0);
    EXPECT_EQ(more.Str(), "abcde");

    Wide exact(5, L"%s", L"abcde");  // count = length: no room for the terminator
    EXPECT_EQ(exact.ret, 5);
    EXPECT_EQ(exact.Text(5), "abcde");
    EXPECT_EQ(exact.buf[5], (wchar_t)0xAAAA) << "no terminator is written";

    Wide less(4, L"%s", L"abcde");  // count = length - 1
    EXPECT_EQ(less.ret, -1);
    EXPECT_EQ(less.Text(4), "abcd");
    EXPECT_EQ(less.buf[4], (wchar_t)0xAAAA);

    Wide none(0, L"%d", 7);
    EXPECT_EQ(none.ret, -1);
    EXPECT_EQ(none.buf[0], (wchar_t)0xAAAA);
    Wide empty(0, L"");
    EXPECT_EQ(empty.ret, 0);
}

TEST(RtlFormatTest, NarrowOutputAtCountBoundaries)
{
    Narrow more(4, "%u", 123u);
    EXPECT_EQ(more.ret, 3);
    EXPECT_EQ(more.Str(), "123");
    Narrow exact(3, "%u", 123u);
    EXPECT_EQ(exact.ret, 3);
    EXPECT_EQ(std::string(exact.buf.data(), 4), "123#");
    Narrow less(2, "%u", 123u);
    EXPECT_EQ(less.ret, -1);
    EXPECT_EQ(std::string(less.buf.data(), 3), "12#");
}

TEST(RtlFormatTest, StringWidthFollowsTheFormatAndTheCaseOfTheConversion)
{
    EXPECT_EQ(Wide(32, L"%s|%S|%hs|%ls|%ws", L"w", "n", "h", L"l", L"x").Str(), "w|n|h|l|x");
    EXPECT_EQ(Narrow(32, "%s|%S|%hs|%ls|%ws", "n", L"w", "h", L"l", L"x").Str(), "n|w|h|l|x");
    EXPECT_EQ(Wide(32, L"%c%C%hc%lc", (int)L'a', (int)'b', (int)'c', (int)L'd').Str(), "abcd");
    EXPECT_EQ(Narrow(32, "%c%C", (int)'a', (int)L'b').Str(), "ab");
    EXPECT_EQ(Wide(32, L"%s", L"\u00e9\u4e2d").Str(), "\u00e9\u4e2d") << "UTF-16 passes through a wide format";
    EXPECT_EQ(Narrow(32, "%S", L"\u4e2dx").Str(), "?x") << "no narrow form for the character";
}

TEST(RtlFormatTest, NullStringsPrintNull)
{
    EXPECT_EQ(Wide(32, L"%s %S %wZ", (const wchar_t*)nullptr, (const char*)nullptr, (PUNICODE_STRING) nullptr).Str(),
              "(null) (null) (null)");
    EXPECT_EQ(Narrow(32, "%s", (const char*)nullptr).Str(), "(null)");
}

TEST(RtlFormatTest, CountedStringsPrintLengthCharactersWithoutTerminator)
{
    wchar_t text[] = {L'C', L'O', L'M', L'3', L'X', L'X'};  // no terminator after the counted part
    UNICODE_STRING us{8, 12, text};
    char narrow[] = {'a', 'b', 'c', 'Z'};
    ANSI_STRING as{3, 4, narrow};
    EXPECT_EQ(Wide(32, L"[%wZ]", &us).Str(), "[COM3]");
    EXPECT_EQ(Narrow(32, "[%wZ][%Z]", &us, &as).Str(), "[COM3][abc]");
    EXPECT_EQ(Wide(32, L"[%hZ][%6.2wZ]", &as, &us).Str(), "[abc][    CO]");
}

TEST(RtlFormatTest, IntegerSizesAreThoseOfWindowsX64)
{
    EXPECT_EQ(Wide(64, L"%I64x %I64d %llu", 0x123456789abcdefULL, -5LL, 18446744073709551615ULL).Str(),
              "123456789abcdef -5 18446744073709551615");
    EXPECT_EQ(Narrow(64, "%ld %lx %I32u", (LONG)-1, (ULONG)0xffffffffu, 7u).Str(), "-1 ffffffff 7") << "l is 32-bit";
    EXPECT_EQ(Narrow(64, "%Ix %zu", (ULONG_PTR)0x1122334455ULL, (size_t)42).Str(), "1122334455 42");
    EXPECT_EQ(Narrow(64, "%hd %hu %hhx", 70000, 70000, 0x1ff).Str(), "4464 4464 ff");
}

TEST(RtlFormatTest, PointersPrintSixteenUpperCaseDigits)
{
    EXPECT_EQ(Wide(64, L"%p", (void*)0xabc).Str(), "0000000000000ABC");
    EXPECT_EQ(Narrow(64, "%p", (void*)0xfedcba9876543210ULL).Str(), "FEDCBA9876543210");
    EXPECT_EQ(Narrow(64, "[%20p]", (void*)1).Str(), "[    0000000000000001]");
}

TEST(RtlFormatTest, FlagsWidthAndPrecision)
{
    EXPECT_EQ(Narrow(64, "[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42).Str(), "[   42][42   ][-0042][+42][ 42]");
    EXPECT_EQ(Narrow(64, "[%.3d][%08.3d][%.0d][%#x][%#o][%#X]", 7, 7, 0, 255, 8, 0).Str(),
              "[007][     007][][0xff][010][0]");
    EXPECT_EQ(Wide(64, L"[%*d][%-*d][%.*s]", 4, 1, -4, 2, 2, L"xyz").Str(), "[   1][2   ][xy]");
    EXPECT_EQ(Narrow(64, "%%|%q|%.2f", 1.005).Str(), "%|q|1.00") << "unknown conversions print themselves";
}

TEST(RtlFormatTest, PercentNIsRefused)
{
    int n = 0;
    Narrow r(32, "ab%n", &n);
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(n, 0);
}

class RtlFormatVerifierTest : public RecordingMachineTest {};

TEST_F(RtlFormatVerifierTest, WidthConversionAbovePassiveIsReported)
{
    wchar_t buf[32];
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { _snwprintf(buf, 32, L"%s %d", L"same width", 1); });
    EXPECT_TRUE(sim::Violations().empty()) << "wide text into a wide format needs no conversion";
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { _snwprintf(buf, 32, L"%S", "narrow"); });
    EXPECT_TRUE(sim_test::TakeViolation("STRING_CONVERSION_ABOVE_PASSIVE"));
}

}  // namespace
