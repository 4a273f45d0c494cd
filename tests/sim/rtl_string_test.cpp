// Counted-string routines: the length rules of RtlInitUnicodeString and
// friends, truncation and terminators on copy and append, comparisons,
// number conversions, and the UTF-8/UTF-16 boundary helpers.
#include "machine_fixture.h"

#include <vector>

namespace {

class RtlStringTest : public MachineTest {};

TEST_F(RtlStringTest, InitUnicodeStringCountsBytesAndClampsHugeStrings)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, L"COM12");
    EXPECT_EQ(us.Length, 10);
    EXPECT_EQ(us.MaximumLength, 12);
    RtlInitUnicodeString(&us, nullptr);
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, 0);
    EXPECT_EQ(us.Buffer, nullptr);

    std::vector<wchar_t> huge(40000, L'x');
    huge.back() = 0;
    RtlInitUnicodeString(&us, huge.data());
    EXPECT_EQ(us.Length, 0xFFFC);
    EXPECT_EQ(us.MaximumLength, 0xFFFE);
    EXPECT_EQ(us.Buffer, huge.data());
}

TEST_F(RtlStringTest, InitAnsiStringClampsAtMaxUshortMinusOne)
{
    ANSI_STRING as;
    RtlInitAnsiString(&as, "abc");
    EXPECT_EQ(as.Length, 3);
    EXPECT_EQ(as.MaximumLength, 4);
    std::string huge(70000, 'y');
    RtlInitAnsiString(&as, huge.c_str());
    EXPECT_EQ(as.Length, 0xFFFE);
    EXPECT_EQ(as.MaximumLength, 0xFFFF);
}

TEST_F(RtlStringTest, CopyTruncatesToDestinationAndTerminatesWhenThereIsRoom)
{
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, L"abcdef");
    wchar_t buf[8];
    for (auto& c : buf)
        c = (wchar_t)0xAAAA;
    UNICODE_STRING dst{0, 8, buf};  // room for four characters
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 8);
    EXPECT_EQ(sim::Utf8(dst), "abcd");
    EXPECT_EQ(buf[4], (wchar_t)0xAAAA) << "no room for a terminator";
    dst.MaximumLength = 16;
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(buf[6], 0);
    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);
}

TEST_F(RtlStringTest, AppendFailsWithoutRoomAndLeavesTheDestination)
{
    wchar_t buf[6];
    UNICODE_STRING dst{0, sizeof(buf), buf};
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(buf[3], 0);
    UNICODE_STRING more;
    RtlInitUnicodeString(&more, L"def");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &more), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(dst), "abcdef");
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"g"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(sim::Utf8(dst), "abcdef");
}

TEST_F(RtlStringTest, ComparisonsHonourCaseInsensitivity)
{
    UNICODE_STRING a, b, prefix;
    RtlInitUnicodeString(&a, L"\\Device\\Serial\u00e9");
    RtlInitUnicodeString(&b, L"\\DEVICE\\SERIAL\u00c9");
    RtlInitUnicodeString(&prefix, L"\\device\\");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&prefix, &a, TRUE), 0) << "a prefix sorts first";
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &a, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &a, FALSE));
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'\u0451'), L'\u0401');
    EXPECT_EQ(_stricmp("Blnk", "bLNK"), 0);
    EXPECT_LT(_stricmp("abc", "ABD"), 0);
}

TEST_F(RtlStringTest, IntegerConversionsBothWays)
{
    wchar_t buf[12];
    UNICODE_STRING s{0, sizeof(buf), buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(s), "FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf8(s), "4294967295");
    UNICODE_STRING tiny{0, 4, buf};  // one character and a null
    EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &tiny), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(12, 7, &s), STATUS_INVALID_PARAMETER);

    ULONG v = 0;
    UNICODE_STRING t;
    RtlInitUnicodeString(&t, L"  0x1F rest");
    EXPECT_EQ(RtlUnicodeStringToInteger(&t, 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 31u);
    RtlInitUnicodeString(&t, L"-12");
    EXPECT_EQ(RtlUnicodeStringToInteger(&t, 10, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, (ULONG)-12);
    RtlInitUnicodeString(&t, L"777");
    EXPECT_EQ(RtlUnicodeStringToInteger(&t, 8, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 511u);
}

TEST_F(RtlStringTest, UnicodeToAnsiAllocatesFromPoolUntilFreed)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, L"COM3");
    ANSI_STRING a;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &u, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(a.Buffer, a.Length), "COM3");
    EXPECT_EQ(a.Buffer[4], 0);
    EXPECT_EQ(sim::OutstandingPool().size(), 1u);
    RtlFreeAnsiString(&a);
    EXPECT_EQ(a.Buffer, nullptr);
    EXPECT_TRUE(sim::OutstandingPool().empty());

    char small[3];
    ANSI_STRING fixed{0, sizeof(small), small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &u, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(small), "CO");
}

TEST(RtlTextTest, Utf8AndUtf16RoundTripIncludingSurrogatePairs)
{
    const std::string text = "a\u00e9\u4e2d\xF0\x9F\x98\x80";
    std::u16string wide = sim::Utf16(text);
    ASSERT_EQ(wide.size(), 5u);
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
    EXPECT_EQ(sim::Utf8(sim::W(wide)), text);
    EXPECT_EQ(sim::Utf16("\xC3"), u"\xFFFD") << "a truncated sequence becomes U+FFFD";
}

}  // namespace
