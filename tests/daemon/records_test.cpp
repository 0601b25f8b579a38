// The record directory's reload against devices that can refuse: what a device holds after a
// reload that one of them refused, and the handles kept across one that succeeded.
#include "records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <unistd.h>

namespace {

// A device's database as the reload sees it: handles from 0x10000 up, and an addition that can
// be made to fail.
struct FAKE_DEVICE {
    std::map<uint32_t, std::string> Records; // handle -> service name
    uint32_t Next = 0x10000;
    int FailAddsAfter = -1; // additions left before one fails; -1: none fails

    kivsdpd::CRecordSet::DEVICE_OPS Ops()
    {
        return {[this](const kivtool::ServiceRecord& R, uint32_t& h, std::string& Err) {
                    if (FailAddsAfter == 0) {
                        Err = "out of pool";
                        return false;
                    }
                    if (FailAddsAfter > 0) FailAddsAfter--;
                    h = Next++;
                    const auto& Name = R.Attributes.back().Value.Data;
                    Records[h] = std::string(Name.begin(), Name.end());
                    return true;
                },
                [this](uint32_t h, std::string& Err) {
                    if (Records.erase(h) == 1) return true;
                    Err = "no such record";
                    return false;
                }};
    }
};

class RecordSet : public ::testing::Test {
protected:
    void SetUp() override
    {
        char Template[] = "/tmp/records-test.XXXXXX";
        ASSERT_NE(mkdtemp(Template), nullptr);
        m_Dir = Template;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + m_Dir + "'").c_str()), 0); }
    void Put(const std::string& Name, const std::string& Service)
    {
        std::ofstream(m_Dir + "/" + Name) << "<record><attribute id=\"0x0100\"><text value=\""
                                          << Service << "\"/></attribute></record>\n";
    }
    std::string m_Dir;
};

TEST_F(RecordSet, ADeviceRefusingAnAdditionLeavesEveryDeviceAsItWas)
{
    Put("a.xml", "A");
    Put("b.xml", "B");
    kivsdpd::CRecordSet Set;
    std::vector<std::string> Errors;
    ASSERT_TRUE(Set.Read(m_Dir, Errors));
    FAKE_DEVICE First, Second;
    std::string Err;
    ASSERT_TRUE(Set.Attach(First.Ops(), nullptr, Err));
    ASSERT_TRUE(Set.Attach(Second.Ops(), nullptr, Err));
    const std::map<uint32_t, std::string> Start{{0x10000, "A"}, {0x10001, "B"}};
    ASSERT_EQ(First.Records, Start);

    // Two additions (c new, b changed); the second device refuses its second one.
    Put("b.xml", "B2");
    Put("c.xml", "C");
    Second.FailAddsAfter = 1;
    std::string Summary;
    EXPECT_FALSE(Set.Reload(Errors, Summary));
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "KivSdp1: " + m_Dir + "/b.xml: out of pool");
    EXPECT_EQ(First.Records, Start);
    EXPECT_EQ(Second.Records, Start);

    // Once the device takes it, the same reload applies; a's record keeps its handle.
    Second.FailAddsAfter = -1;
    ASSERT_EQ(unlink((m_Dir + "/a.xml").c_str()), 0);
    Put("a.xml", "A");
    EXPECT_TRUE(Set.Reload(Errors, Summary));
    EXPECT_EQ(Summary, "1 added, 0 removed, 1 changed, 1 unchanged");
    const std::map<uint32_t, std::string> First2{{0x10000, "A"}, {0x10004, "C"}, {0x10005, "B2"}};
    EXPECT_EQ(First.Records, First2);
    EXPECT_EQ(Second.Records.size(), 3u);
    EXPECT_EQ(Second.Records.at(0x10000), "A");
    EXPECT_EQ(Set.Count(), 3u);

    // A record an application deleted is reported, and the reload goes on.
    Second.Records.erase(0x10000);
    ASSERT_EQ(unlink((m_Dir + "/a.xml").c_str()), 0);
    EXPECT_TRUE(Set.Reload(Errors, Summary));
    EXPECT_EQ(Summary, "0 added, 1 removed, 0 changed, 2 unchanged");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("KivSdp1: record of " + m_Dir + "/a.xml: no such record"),
              std::string::npos);
    EXPECT_EQ(First.Records.count(0x10000), 0u);
}

} // namespace
