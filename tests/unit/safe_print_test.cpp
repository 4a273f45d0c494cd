#include "core/SafePrint.h"
#include "machine_fixture.h"

namespace {

std::string Text(const WCHAR* s)
{
    return sim::Utf8(s);
}

}  // namespace

TEST(SafePrintW, ExactFitOfNineCharactersInTenSucceeds)
{
    WCHAR dest[10];
    EXPECT_EQ(SafePrintW(dest, sizeof(dest), L"%s", L"123456789"), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), "123456789");
}

TEST(SafePrintW, TenCharactersOverflowAndKeepNineTerminated)
{
    WCHAR dest[10];
    EXPECT_EQ(SafePrintW(dest, sizeof(dest), L"%s", L"1234567890"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(dest), "123456789");
    EXPECT_EQ(SafePrintW(dest, sizeof(dest), L"%d%d", 123456, 7890123), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(dest), "123456789");
}

TEST(SafePrintW, ShortTextSucceeds)
{
    WCHAR dest[512];
    EXPECT_EQ(SafePrintW(dest, sizeof(dest), L"%d", 17), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), "17");
}

TEST(SafePrintW, NoRoomIsAnInvalidParameterAndLeavesTheDestination)
{
    WCHAR dest[2] = {L'x', L'y'};
    EXPECT_EQ(SafePrintW(dest, 1, L"%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SafePrintW(dest, 0, L"%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SafePrintW(dest, ((SIZE_T)0x7FFFFFFF + 1) * 2, L"%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(dest[0], L'x');
    EXPECT_EQ(dest[1], L'y');
}

TEST(SafePrintW, OneCharacterRoomHoldsOnlyTheTerminator)
{
    WCHAR dest[1] = {L'x'};
    EXPECT_EQ(SafePrintW(dest, sizeof(dest), L"%d", 5), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest[0], 0);
    EXPECT_EQ(SafePrintW(dest, sizeof(dest), L""), STATUS_SUCCESS);
    EXPECT_EQ(dest[0], 0);
}
