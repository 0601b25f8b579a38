// KernelFixture: every test starts on a freshly reset runtime, and its teardown checks that the
// verifier recorded nothing unexpected and that no pool block is left.
#pragma once

#include "kivrt.h"
#include "wdm.h"

#include <gtest/gtest.h>

#include <string>

class KernelFixture : public ::testing::Test {
protected:
    virtual kivrt::Options RuntimeOptions()
    {
        kivrt::Options O;
        O.EchoReports = false;
        return O;
    }

    void SetUp() override
    {
        kivrt::Reset(RuntimeOptions());
        kivrt::CaptureDbgPrint();
    }

    void TearDown() override
    {
        kivrt::DrainWorkItems();
        EXPECT_EQ(Records(), "") << "the verifier recorded misuse";
        EXPECT_EQ(kivrt::Assertions().size(), 0u);
        EXPECT_EQ(kivrt::PoolBlocksTotal(), 0u) << PoolDump();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        kivrt::Reset();
        kivrt::SetDbgPrintSink(nullptr);
    }

    // All records as "check;check;...", for exact comparisons.
    static std::string Records()
    {
        std::string S;
        for (const kivrt::VERIFIER_RECORD& R : kivrt::VerifierRecords())
            S += (S.empty() ? "" : ";") + R.Check;
        return S;
    }

    // A deliberate misuse must be recorded as exactly these checks; they are then cleared.
    static void ExpectRecords(const std::string& Checks)
    {
        EXPECT_EQ(Records(), Checks);
        kivrt::ClearVerifierRecords();
    }

    static std::string PoolDump()
    {
        std::string S;
        // GCC 12 at -O3 reports a bogus overlap inside std::string's operator+ (GCC bug
        // 105651), not a fault of this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        for (const kivrt::POOL_TAG_USAGE& U : kivrt::PoolUsage())
            S += "'" + kivrt::TagText(U.Tag) +
                 "': " + std::to_string(U.PagedBlocks + U.NonPagedBlocks) + " block(s)\n";
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        return S;
    }

    static UNICODE_STRING Us(const char16_t* Text)
    {
        UNICODE_STRING U;
        RtlInitUnicodeString(&U, Text);
        return U;
    }
};

// Raises the thread's IRQL for a scope, as a driver routine running there would be.
class CIrqlScope {
public:
    explicit CIrqlScope(KIRQL Level) { KeRaiseIrql(Level, &m_Old); }
    ~CIrqlScope() { KeLowerIrql(m_Old); }

private:
    KIRQL m_Old;
};
