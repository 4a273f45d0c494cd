#include "core/PoolTags.h"
#include "machine_fixture.h"
#include "support/UnicodeString.h"

namespace {

UNICODE_STRING Counted(const WCHAR* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

void FailNextMemoryAllocation()
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagMemory;
    rule.nth = 1;
    sim::AddFault(rule);
}

}  // namespace

class UnicodeStringTest : public MachineTest {};

TEST_F(UnicodeStringTest, CopyTruncatesToTheDestinationRoom)
{
    WCHAR room[4];
    UNICODE_STRING dest = {0, sizeof(room), room};
    EXPECT_EQ(CUnicodeString::Copy(&dest, Counted(L"ABCDEF")), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(sim::Utf8(dest), "ABCD");
}

TEST_F(UnicodeStringTest, CopyRefusesAnInvalidDestinationAndChangesNothing)
{
    WCHAR room[8];
    UNICODE_STRING dest = {3, sizeof(room), room};
    EXPECT_EQ(CUnicodeString::Copy(&dest, Counted(L"AB")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(dest.Length, 3);
    UNICODE_STRING tooLong = {10, 8, room};
    EXPECT_EQ(CUnicodeString::Copy(&tooLong, Counted(L"AB")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tooLong.Length, 10);
}

TEST_F(UnicodeStringTest, CopyFromAnInvalidSourceEmptiesTheDestination)
{
    WCHAR room[8];
    UNICODE_STRING dest = {4, sizeof(room), room};
    UNICODE_STRING bad = {2, 4, nullptr};
    EXPECT_EQ(CUnicodeString::Copy(&dest, bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(dest.Length, 0);
}

TEST_F(UnicodeStringTest, AppendSizesTheBufferToBothTextsAndATerminator)
{
    CUnicodeString path(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brisklink");
    UNICODE_STRING suffix = Counted(L"\\Parameters");
    USHORT before = path.m_String.Length;
    path.Append(suffix);
    EXPECT_EQ(path.m_String.Length, before + suffix.Length);
    EXPECT_EQ(path.m_String.MaximumLength, before + suffix.Length + 2);
    EXPECT_EQ(path.m_String.Buffer[path.m_String.Length / 2], 0);
    EXPECT_EQ(sim::Utf8(path.m_String),
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brisklink\\Parameters");
}

TEST_F(UnicodeStringTest, AppendAlwaysReallocates)
{
    CUnicodeString s(NonPagedPool);
    s.Reserve(600);
    PWSTR old = s.m_String.Buffer;
    s.Append(Counted(L"x"));
    EXPECT_NE(s.m_String.Buffer, old);
    EXPECT_EQ(sim::Utf8(s.m_String), "x");
}

TEST_F(UnicodeStringTest, NullTextGivesAnEmptyStringWithoutAllocating)
{
    CUnicodeString s((PCWSTR) nullptr);
    EXPECT_EQ(s.m_String.Buffer, nullptr);
    EXPECT_EQ(s.m_String.MaximumLength, 0);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagMemory), 0u);
}

TEST_F(UnicodeStringTest, TextConstructorUsesPagedPoolAndTerminates)
{
    CUnicodeString s(L"COM5");
    EXPECT_EQ(s.m_String.Length, 8);
    EXPECT_EQ(s.m_String.MaximumLength, 10);
    EXPECT_EQ(s.m_String.Buffer[4], 0);
    EXPECT_EQ(sim::PoolTypeOf(s.m_String.Buffer), PagedPool);
}

TEST_F(UnicodeStringTest, CountedConstructorTakesTheSourceMaximumLength)
{
    WCHAR text[] = L"abc\0\0\0";
    UNICODE_STRING source = {6, sizeof(text), text};
    CUnicodeString s(source);
    EXPECT_EQ(s.m_String.MaximumLength, sizeof(text));
    EXPECT_EQ(sim::Utf8(s.m_String), "abc");
    EXPECT_NE(sim::PoolTypeOf(s.m_String.Buffer), PagedPool);
}

TEST_F(UnicodeStringTest, AssignReplacesAndAssignOfEmptyFrees)
{
    CUnicodeString s(L"first");
    s.Assign(Counted(L"second one"));
    EXPECT_EQ(sim::Utf8(s.m_String), "second one");
    EXPECT_EQ(s.m_String.MaximumLength, s.m_String.Length + 2);
    s.Assign(Counted(L""));
    EXPECT_EQ(s.m_String.Buffer, nullptr);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagMemory), 0u);
}

TEST_F(UnicodeStringTest, EveryOperationLeavesAnEmptyStringWhenAllocationFails)
{
    CUnicodeString s(L"keep me");
    FailNextMemoryAllocation();
    s.Assign(Counted(L"new text"));
    EXPECT_EQ(s.m_String.Buffer, nullptr);
    EXPECT_EQ(s.m_String.Length, 0);
    EXPECT_EQ(s.m_String.MaximumLength, 0);

    s.Assign(L"again");
    FailNextMemoryAllocation();
    s.Append(Counted(L"more"));
    EXPECT_EQ(s.m_String.Buffer, nullptr);

    FailNextMemoryAllocation();
    s.Reserve(600);
    EXPECT_EQ(s.m_String.Buffer, nullptr);

    FailNextMemoryAllocation();
    CUnicodeString fromText(L"text");
    EXPECT_EQ(fromText.m_String.Buffer, nullptr);

    FailNextMemoryAllocation();
    CUnicodeString fromCounted(Counted(L"text"));
    EXPECT_EQ(fromCounted.m_String.Buffer, nullptr);
    EXPECT_EQ(fromCounted.m_String.Length, 0);
}

TEST_F(UnicodeStringTest, CopyIntoAFailedStringOverflows)
{
    FailNextMemoryAllocation();
    CUnicodeString s(L"x");
    EXPECT_EQ(CUnicodeString::Copy(s.Get(), Counted(L"abc")), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(CUnicodeString::Copy(s.Get(), Counted(L"")), STATUS_SUCCESS);
}

TEST_F(UnicodeStringTest, TextTooLongForACountedStringIsRefused)
{
    std::u16string huge(40000, u'a');
    CUnicodeString s(sim::W(huge));
    EXPECT_EQ(s.m_String.Buffer, nullptr);
    EXPECT_EQ(s.m_String.Length, 0);
}

TEST_F(UnicodeStringTest, DetachHandsOverTheBuffer)
{
    UNICODE_STRING target = {};
    {
        CUnicodeString s(L"owned");
        s.Detach(&target);
        EXPECT_EQ(s.m_String.Buffer, nullptr);
    }
    EXPECT_EQ(sim::Utf8(target), "owned");
    CUnicodeString::FreeBuffer(&target);
    EXPECT_EQ(target.Buffer, nullptr);
}
