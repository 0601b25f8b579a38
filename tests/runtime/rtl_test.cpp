// Counted-string routines and DbgPrint's kernel conversions.
#include "kernel_fixture.h"

#include <cstring>

using RtlTest = KernelFixture;

TEST_F(RtlTest, InitUnicodeStringCountsBytesAndDoesNotCopy)
{
    const char16_t* Text = u"ab";
    UNICODE_STRING U = Us(Text);
    EXPECT_EQ(U.Length, 4);
    EXPECT_EQ(U.MaximumLength, 6);
    EXPECT_EQ(U.Buffer, Text);
    RtlInitUnicodeString(&U, nullptr);
    EXPECT_EQ(U.Length, 0);
    EXPECT_EQ(U.MaximumLength, 0);
    EXPECT_EQ(U.Buffer, nullptr);
}

TEST_F(RtlTest, CopyTruncatesToDestinationAndKeepsItsBuffer)
{
    WCHAR Buf[3] = {u'x', u'x', u'x'};
    UNICODE_STRING D{0, sizeof(Buf), Buf};
    UNICODE_STRING S = Us(u"hello");
    RtlCopyUnicodeString(&D, &S);
    EXPECT_EQ(D.Length, 6); // min(10, 6)
    EXPECT_EQ(D.Buffer, Buf);
    EXPECT_EQ(std::u16string(Buf, 3), u"hel");
    RtlCopyUnicodeString(&D, nullptr);
    EXPECT_EQ(D.Length, 0);
}

TEST_F(RtlTest, AppendFailsWhenTooSmallAndLeavesDestinationUnchanged)
{
    WCHAR Buf[6] = {};
    UNICODE_STRING D{0, sizeof(Buf), Buf};
    UNICODE_STRING Abc = Us(u"abc"), Empty = Us(u"");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&D, &Abc), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&D, &Empty), STATUS_SUCCESS);
    EXPECT_EQ(D.Length, 6);
    EXPECT_EQ(Buf[3], 0) << "terminated when there is room";
    UNICODE_STRING Four = Us(u"defg");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&D, &Four), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(D.Length, 6);
    EXPECT_EQ(std::u16string(Buf, 4), std::u16string(u"abc\0", 4));
    UNICODE_STRING Three = Us(u"def"); // exactly fills: no terminator room
    EXPECT_EQ(RtlAppendUnicodeStringToString(&D, &Three), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(Buf, 6), u"abcdef");
}

TEST_F(RtlTest, EqualComparesLengthsThenCharacters)
{
    UNICODE_STRING A = Us(u"KivSdp"), B = Us(u"KIVSDP"), C = Us(u"KivSd");
    EXPECT_FALSE(RtlEqualUnicodeString(&A, &B, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&A, &B, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&A, &C, TRUE));
}

TEST_F(RtlTest, IntegerToUnicodeStringBasesAndLimits)
{
    struct CASE {
        ULONG Value, Base;
        USHORT Max;
        NTSTATUS Status;
        std::u16string Text;
    } Cases[] = {
        {255, 16, 20, STATUS_SUCCESS, u"FF"},
        {255, 0, 20, STATUS_SUCCESS, u"255"},
        {5, 2, 20, STATUS_SUCCESS, u"101"},
        {8, 8, 20, STATUS_SUCCESS, u"10"},
        {0xFFFFFFFF, 10, 22, STATUS_SUCCESS, u"4294967295"},
        {10, 3, 20, STATUS_INVALID_PARAMETER, u""},
        {123, 10, 8, STATUS_SUCCESS, u"123"},      // 2 * (3 + 1)
        {123, 10, 7, STATUS_BUFFER_OVERFLOW, u""}, // one byte short
    };
    for (const CASE& C : Cases) {
        SCOPED_TRACE(C.Value);
        WCHAR Buf[16];
        UNICODE_STRING S{0, C.Max, Buf};
        EXPECT_EQ(RtlIntegerToUnicodeString(C.Value, C.Base, &S), C.Status);
        if (C.Status == STATUS_SUCCESS) {
            EXPECT_EQ(std::u16string(Buf, S.Length / 2), C.Text);
            EXPECT_EQ(Buf[S.Length / 2], 0);
        }
    }
}

static std::string Printed(const std::function<void()>& Print)
{
    kivrt::TakeCapturedDbgPrint();
    Print();
    return kivrt::TakeCapturedDbgPrint();
}

TEST_F(RtlTest, DbgPrintKernelConversionsAndLimit)
{
    UNICODE_STRING Name = Us(u"\\Device\\KivSdp0");
    char Ansi[] = "ansi!";
    ANSI_STRING A{4, 6, Ansi};
    EXPECT_EQ(Printed([&] { DbgPrint("name(%wZ)\n", &Name); }), "name(\\Device\\KivSdp0)\n");
    EXPECT_EQ(Printed([&] { DbgPrint("%Z|", &A); }), "ansi|");
    EXPECT_EQ(Printed([] { DbgPrint("%ws %S %ls %lS", u"a", u"b", u"c", u"d"); }), "a b c d");
    EXPECT_EQ(Printed([] { DbgPrint("%I64x %I64X", 0x123456789ABCULL, 0xFFULL); }),
              "123456789abc FF");
    EXPECT_EQ(
        Printed([] { DbgPrint("%lx %ld %08X %-4d|", ULONG(0xC0000001), LONG(-5), 0x2Au, 7); }),
        "c0000001 -5 0000002A 7   |");
    EXPECT_EQ(Printed([] { DbgPrint("%02X %s %c%%", 0xAu, "str", 'z'); }), "0A str z%");
    EXPECT_EQ(Printed([] { DbgPrint("%s %ws", (const char*)nullptr, (const char16_t*)nullptr); }),
              "(null) (null)");
    EXPECT_EQ(Printed([] { DbgPrint("%ws", u"\u00e9t\u00e9"); }), "?t?");
    // One call prints at most 512 bytes.
    EXPECT_EQ(Printed([] { DbgPrint("%s", std::string(600, 'x').c_str()); }).size(), 512u);
}

TEST_F(RtlTest, WideConversionAbovePassiveIsRecorded)
{
    {
        CIrqlScope Dispatch(DISPATCH_LEVEL);
        DbgPrint("%d\n", 1); // narrow conversions are fine
        DbgPrint("%ws\n", u"x");
    }
    ExpectRecords("irql");
}

TEST_F(RtlTest, AssertAndBreakPointAreRecordedAndExecutionGoesOn)
{
    ASSERT(1 + 1 == 3);
    DbgBreakPoint();
    auto A = kivrt::Assertions();
    ASSERT_EQ(A.size(), 1u);
    EXPECT_EQ(A[0].Expression, "1 + 1 == 3");
    EXPECT_NE(A[0].File.find("rtl_test.cpp"), std::string::npos);
    EXPECT_EQ(kivrt::BreakPointCount(), 1u);
    kivrt::ClearVerifierRecords();
}

TEST_F(RtlTest, SetCompletionRoutineAssertsARoutineWhenAnyFlagIsSet)
{
    PIRP Irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(Irp, nullptr, nullptr, TRUE, FALSE, FALSE);
    EXPECT_EQ(kivrt::Assertions().size(), 1u);
    IoSetCompletionRoutine(Irp, nullptr, nullptr, FALSE, FALSE, FALSE);
    EXPECT_EQ(kivrt::Assertions().size(), 1u);
    kivrt::ClearVerifierRecords();
    IoFreeIrp(Irp);
}

TEST_F(RtlTest, TagsPrintByteByByte)
{
    EXPECT_EQ(kivrt::TagText(0x6E726F4E), "Norn");
    EXPECT_EQ(kivrt::TagText(kivrt::MakeTag("Wdm ")), "Wdm ");
}
