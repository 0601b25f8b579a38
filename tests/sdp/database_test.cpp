// The service database: records, handles, counters, messages, allocation
// failures and the application requests over their buffers. Attribute order,
// the state attributes and the database image show in the database_requests
// and get_database_size scenarios.
#include "sdpfixture.h"

#include "kivsdpioctl.h"

namespace {

struct ATTR_VIEW {
    uint16_t Id;
    Bytes Value;
    bool operator==(const ATTR_VIEW& o) const { return Id == o.Id && Value == o.Value; }
};
typedef std::vector<std::vector<ATTR_VIEW>> DB_VIEW;

DB_VIEW View(const CSdpDatabase& Db)
{
    DB_VIEW v;
    for (const SERVICE_RECORD* r = Db.RecordList; r; r = r->Next) {
        v.emplace_back();
        for (const SERVICE_ATTRIBUTE* a = r->AttributeList; a; a = a->Next) {
            const uint32_t n = GetDataElementSize(a->Value, 5);
            v.back().push_back({a->AttributeId, Bytes(a->Value, a->Value + n)});
        }
    }
    return v;
}

struct COUNTERS {
    uint32_t Change, Next, Outstanding, Total;
    bool operator==(const COUNTERS& o) const
    {
        return Change == o.Change && Next == o.Next && Outstanding == o.Outstanding &&
               Total == o.Total;
    }
};

COUNTERS Counters(const CSdpDatabase& Db)
{
    return {Db.DatabaseChangeCount, Db.NextRecordHandle, Db.OutstandingAllocations,
            Db.TotalAllocations};
}

const Bytes ServerClassList = {0x35, 0x03, 0x19, 0x10, 0x00};

SDP_IOCTL_BUFFER Io(Bytes& Buffer, uint32_t In, uint32_t Out)
{
    return SDP_IOCTL_BUFFER{Buffer.data(), In, Out, 0};
}

} // namespace

TEST_F(SdpCoreFixture, InitialisationTracesInInfoAndDatabaseZones)
{
    CSdpDatabase Other;
    SdpSetZoneMask(SDP_ZONE_INFO_MASK | SDP_ZONE_DATABASE_MASK);
    ASSERT_EQ(Other.InitializeSdpDatabase(), SDP_STATUS_SUCCESS);
    EXPECT_TRUE(Printed(SDP_ZONE_INFO_MASK, "kivsdp : InitializeSdpDatabase()..\n"));
    EXPECT_TRUE(Printed(SDP_ZONE_DATABASE_MASK, "kivsdp : CreateServiceRecord() - Entered..\n"));
    EXPECT_TRUE(Printed(SDP_ZONE_DATABASE_MASK, "kivsdp :      ID = 0x201\n"));
    EXPECT_TRUE(Printed(SDP_ZONE_DATABASE_MASK, "kivsdp :      len = 0x5\n"));
    EXPECT_EQ(CountPrinted("kivsdp : AddNewServiceAttribute() - Check passed... Creating now...\n"),
              3u);
    ClearPrints();
    EXPECT_EQ(Other.TerminateSdpDatabase(), SDP_STATUS_SUCCESS);
    EXPECT_TRUE(Printed(SDP_ZONE_INFO_MASK, "kivsdp : TerminateSdpDatabase()..\n"));
    EXPECT_EQ(CountPrinted("kivsdp : FreeServiceAttribute() - Entered..\n"), 4u);
    EXPECT_EQ(Other.OutstandingAllocations, 0u);
}

// The server record's attributes and handles and ServiceDatabaseState show in
// the scenarios; the counters behind them do not.
TEST_F(SdpCoreFixture, ApplicationRecordsCountTheirChangesAndBlocks)
{
    AddRecord();
    AddRecord();
    EXPECT_EQ(Db.DeleteServiceRecord(0x00010000), SDP_STATUS_SUCCESS);
    AddRecord();
    // The server record's 5 changes and 9 blocks, then three records made (2
    // changes, 3 blocks each) and one freed (2 changes).
    EXPECT_EQ(Counters(Db), (COUNTERS{13, 0x00010003, 15, 18}));
}

namespace {

struct REFUSAL {
    const char* Name;
    std::function<SDP_STATUS(CSdpDatabase&, uint32_t)> Op;
    const char* Message; // WARN zone
};

} // namespace

TEST_F(SdpCoreFixture, RefusedOperationsLeaveTheDatabaseAsItWas)
{
    const uint32_t h = AddRecord();
    AddAttr(h, 0x0001, ServerClassList);
    const Bytes Good = {0x09, 0x00, 0x01};
    const Bytes Bad = {0x09, 0x00};
    const REFUSAL Cases[] = {
        {"delete record 0", [](CSdpDatabase& d, uint32_t) { return d.DeleteServiceRecord(0); },
         "kivsdp : DeleteServiceRecord() - Failing call. hRec 0 not deletable.\n"},
        {"delete unknown record",
         [](CSdpDatabase& d, uint32_t) { return d.DeleteServiceRecord(0x00010005); },
         "kivsdp : DeleteServiceRecord() - Failing call. hRec 0x10005 not found.\n"},
        {"delete attribute of record 0",
         [](CSdpDatabase& d, uint32_t) { return d.DeleteServiceAttribute(0, 1); },
         "kivsdp : DeleteServiceAttribute() - Failing call. hRec 0 not deletable.\n"},
        {"delete attribute 0",
         [](CSdpDatabase& d, uint32_t r) { return d.DeleteServiceAttribute(r, 0); },
         "kivsdp : DeleteServiceAttribute() - Failing call. AttId 0 not deletable.\n"},
        {"delete attribute of unknown record",
         [](CSdpDatabase& d, uint32_t) { return d.DeleteServiceAttribute(0x00020000, 1); },
         "kivsdp : DeleteServiceAttribute() - Failing call. hRec 0x20000 not found.\n"},
        {"delete unknown attribute",
         [](CSdpDatabase& d, uint32_t r) { return d.DeleteServiceAttribute(r, 0x0042); },
         "kivsdp : DeleteServiceAttribute() - Failing call. AttId 0x42 not found.\n"},
        {"add to record 0",
         [&](CSdpDatabase& d, uint32_t) {
             return d.AddNewServiceAttribute(0, 5, Good.data(), 3, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! Invalid parameters\n"},
        {"add attribute 0",
         [&](CSdpDatabase& d, uint32_t r) {
             return d.AddNewServiceAttribute(r, 0, Good.data(), 3, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! Invalid parameters\n"},
        {"add with length 0",
         [&](CSdpDatabase& d, uint32_t r) {
             return d.AddNewServiceAttribute(r, 5, Good.data(), 0, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! Invalid parameters\n"},
        {"add to unknown record",
         [&](CSdpDatabase& d, uint32_t) {
             return d.AddNewServiceAttribute(0x00010009, 5, Good.data(), 3, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! Failed to find record with handle 0x10009\n"},
        {"add existing ID",
         [&](CSdpDatabase& d, uint32_t r) {
             return d.AddNewServiceAttribute(r, 1, Good.data(), 3, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! Attribute with ID 0x1 already exists!\n"},
        {"add malformed value",
         [&](CSdpDatabase& d, uint32_t r) {
             return d.AddNewServiceAttribute(r, 5, Bad.data(), 2, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! VerifyDataElement() failed!!\n"},
        {"add two elements as one value",
         [&](CSdpDatabase& d, uint32_t r) {
             const Bytes Two = {0x09, 0, 1, 0x09, 0, 2};
             return d.AddNewServiceAttribute(r, 5, Two.data(), 6, true);
         },
         "kivdsp : AddNewServiceAttribute() - Error! VerifyDataElement() failed!!\n"},
    };
    for (const REFUSAL& c : Cases) {
        SCOPED_TRACE(c.Name);
        const DB_VIEW Before = View(Db);
        const COUNTERS CountersBefore = Counters(Db);
        ClearPrints();
        EXPECT_EQ(c.Op(Db, h), SDP_STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK, c.Message));
        EXPECT_EQ(View(Db), Before);
        EXPECT_EQ(Counters(Db), CountersBefore);
    }
}

TEST_F(SdpCoreFixture, ServerUseOfAddNewServiceAttributeAllowsHandleZeroSilently)
{
    const Bytes v = {0x25, 0x02, 'o', 'k'};
    EXPECT_EQ(Db.AddNewServiceAttribute(0, 0x0100, v.data(), 4, false), SDP_STATUS_SUCCESS);
    ClearPrints();
    EXPECT_EQ(Db.AddNewServiceAttribute(0, 0x0101, v.data(), 0, false),
              SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Lines.empty());
    // 0x0100 bumped ServiceRecordState to 2.
    EXPECT_EQ(View(Db)[0][2].Value, (Bytes{0x0A, 0, 0, 0, 2}));
}

TEST_F(SdpCoreFixture, FailedAttributeAllocationMovesOnlyTheRecordState)
{
    const uint32_t h = AddRecord();
    const Bytes v = {0x25, 0x03, 'a', 'b', 'c'};

    // An attribute: node (1st) or value (2nd) fails. Only ServiceRecordState moved.
    for (int Fail = 0; Fail < 2; Fail++) {
        SCOPED_TRACE(Fail);
        AddAttr(h, 0x0002, {0x0A, 0, 0, 0, 0});
        DB_VIEW Before = View(Db);
        const COUNTERS c = Counters(Db);
        ResetAllocIndex();
        FailAt = static_cast<int64_t>(Fail);
        ClearPrints();
        EXPECT_EQ(Db.AddNewServiceAttribute(h, 0x0050, v.data(), 5, true),
                  SDP_STATUS_INSUFFICIENT_RESOURCES);
        FailAt = -1;
        EXPECT_TRUE(Printed(SDP_ZONE_ERROR_MASK,
                            "kivsdp : CreateAttribute() - Failed to allocate memory\n"));
        Before[1][1].Value = {0x0A, 0, 0, 0, 1};
        EXPECT_EQ(View(Db), Before);
        EXPECT_EQ(Counters(Db), c);
        ASSERT_EQ(Db.DeleteServiceAttribute(h, 0x0002), SDP_STATUS_SUCCESS);
    }
}

TEST_F(SdpCoreFixture, FailedRecordCreationUsesUpItsHandleAndLeavesNoRecord)
{
    const DB_VIEW Before = View(Db);
    // 0: the record block; 1: the handle attribute's node; 2: its value.
    for (int Fail = 0; Fail < 3; Fail++) {
        SCOPED_TRACE(Fail);
        const COUNTERS c = Counters(Db);
        const Bytes ServerState = View(Db)[0][3].Value;
        Bytes Buffer(4, 0xEE);
        SDP_IOCTL_BUFFER Request = Io(Buffer, 0, 4);
        ResetAllocIndex();
        FailAt = Fail;
        ClearPrints();
        EXPECT_EQ(Db.UserIoctlAddRecord(Request), SDP_STATUS_INSUFFICIENT_RESOURCES);
        FailAt = -1;
        EXPECT_EQ(Request.Information, 0u);
        EXPECT_EQ(Buffer, Bytes(4, 0xEE));
        EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK,
                            "kivsdp : UserIoctlAddRecord() - Failure! Err = 0xc000009a\n"));
        EXPECT_EQ(Db.NextRecordHandle, c.Next + 1);
        EXPECT_EQ(View(Db).size(), Before.size());
        EXPECT_EQ(Db.OutstandingAllocations, c.Outstanding);
        if (Fail == 0) {
            EXPECT_TRUE(Printed(SDP_ZONE_ERROR_MASK,
                                "kivsdp : CreateRecord() - Failed to allocate memory\n"));
            EXPECT_EQ(Db.DatabaseChangeCount, c.Change);
            EXPECT_EQ(Db.TotalAllocations, c.Total);
            EXPECT_EQ(View(Db)[0][3].Value, ServerState);
        } else {
            // The record was made and freed again: two changes, and the
            // server's ServiceDatabaseState counts both.
            EXPECT_EQ(Db.DatabaseChangeCount, c.Change + 2);
            // Only the record block was ever counted; a node released on the
            // value's failure never was.
            EXPECT_EQ(Db.TotalAllocations, c.Total + 1);
            Bytes Expected = ServerState;
            Expected[4] = static_cast<uint8_t>(Expected[4] + 2);
            EXPECT_EQ(View(Db)[0][3].Value, Expected);
        }
    }
    EXPECT_EQ(AddRecord(), 0x00010003u);
}

TEST_F(SdpCoreFixture, FailedInitialisationStopsWithItsMessage)
{
    const char* Messages[] = {
        "kivsdp : FATAL ERROR - failed to create SDP record..\n",
        "kivsdp : FATAL ERROR - failed to create SDP record..\n", // handle attribute node
        "kivsdp : FATAL ERROR - failed to create SDP record..\n", // handle attribute value
        "kivsdp : FATAL ERROR - failed to create 2nd attribute..\n",
        "kivsdp : FATAL ERROR - failed to create 2nd attribute..\n",
        "kivsdp : FATAL ERROR - failed to create 3rd attribute..\n",
        "kivsdp : FATAL ERROR - failed to create 3rd attribute..\n",
        "kivsdp : FATAL ERROR - failed to create 4th attribute..\n",
        "kivsdp : FATAL ERROR - failed to create 4th attribute..\n",
    };
    const size_t Attributes[] = {0, 0, 0, 1, 1, 2, 2, 3, 3};
    for (int Fail = 0; Fail < 9; Fail++) {
        SCOPED_TRACE(Fail);
        CSdpDatabase Other;
        ResetAllocIndex();
        FailAt = Fail;
        ClearPrints();
        EXPECT_EQ(Other.InitializeSdpDatabase(), SDP_STATUS_INSUFFICIENT_RESOURCES);
        FailAt = -1;
        EXPECT_TRUE(Printed(SDP_ZONE_ERROR_MASK, Messages[Fail]));
        const DB_VIEW v = View(Other);
        EXPECT_EQ(v.empty() ? 0u : v[0].size(), Attributes[Fail]);
        EXPECT_EQ(Other.NextRecordHandle, 0u);
        Other.TerminateSdpDatabase();
        EXPECT_EQ(Other.OutstandingAllocations, 0u);
    }
    ResetAllocIndex();
    CSdpDatabase Whole;
    EXPECT_EQ(Whole.InitializeSdpDatabase(), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Whole.TotalAllocations, 9u);
}

TEST_F(SdpCoreFixture, TerminationReportsBlocksItCouldNotAccountFor)
{
    CSdpDatabase Other;
    ASSERT_EQ(Other.InitializeSdpDatabase(), SDP_STATUS_SUCCESS);
    Other.OutstandingAllocations += 1; // a block the lists no longer reach
    ClearPrints();
    EXPECT_EQ(Other.TerminateSdpDatabase(), SDP_STATUS_SUCCESS);
    EXPECT_TRUE(
        Printed(SDP_ZONE_ERROR_MASK, "kivsdp : TerminateSdpDatabase() - Hmm.. Allocates = 0x1\n"));
    ASSERT_FALSE(Lines.empty());
    EXPECT_EQ(Lines.back().Zone, SDP_ZONE_ALWAYS);
    EXPECT_EQ(Lines.back().Text.rfind("NORN ASSERT:  FALSE on line ", 0), 0u);
    ClearPrints();
}

// ---- Application requests over their buffers ----

TEST_F(SdpCoreFixture, AddRecordRequestChecksItsOutputLength)
{
    Bytes Buffer(8, 0);
    SDP_IOCTL_BUFFER Request = Io(Buffer, 0, 8);
    EXPECT_EQ(Db.UserIoctlAddRecord(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(
        Printed(SDP_ZONE_WARN_MASK, "kivsdp : UserIoctlAddRecord() - Invalid parameters..\n"));
    EXPECT_EQ(Request.Information, 0u);
    EXPECT_EQ(Db.NextRecordHandle, 0x00010000u);
    Request = Io(Buffer, 0, 4);
    EXPECT_EQ(Db.UserIoctlAddRecord(Request), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Request.Information, 4u);
    EXPECT_EQ(Bytes(Buffer.begin(), Buffer.begin() + 4), (Bytes{0x00, 0x00, 0x01, 0x00}));
}

TEST_F(SdpCoreFixture, DeleteAndAttributeRequestsReportTheirInput)
{
    const uint32_t h = AddRecord();
    // Add attribute: handle, ID, L, value.
    Bytes Add = Cat({Le32(h), {0x01, 0x00}, Le32(5), ServerClassList});
    SDP_IOCTL_BUFFER Request = Io(Add, 15, 0);
    EXPECT_EQ(Db.UserIoctlAddAttribute(Request), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Request.Information, 15u);

    Bytes Short = Cat({Le32(h), {0x00, 0x02}, Le32(5), {0x0A, 0, 0, 0}});
    Request = Io(Short, 14, 0);
    EXPECT_EQ(Db.UserIoctlAddAttribute(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(
        Printed(SDP_ZONE_WARN_MASK,
                "kivsdp : UserIoctlAddAttribute() - Invalid parameters. Got 0xe. Exp 0xf\n"));
    Request = Io(Short, 10, 0);
    EXPECT_EQ(Db.UserIoctlAddAttribute(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(
        Printed(SDP_ZONE_WARN_MASK,
                "kivsdp : UserIoctlAddAttribute() - Invalid parameters. Buffer too small..\n"));
    Request = Io(Add, 15, 0);
    EXPECT_EQ(Db.UserIoctlAddAttribute(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK,
                        "kivsdp : UserIoctlAddAttribute() - Failure! (err 0xc000000d)\n"));
    EXPECT_EQ(Request.Information, 0u);

    Bytes Del = Cat({Le32(h), {0x01, 0x00}});
    Request = Io(Del, 6, 6);
    EXPECT_EQ(Db.UserIoctlDeleteAttribute(Request), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Request.Information, 6u);
    Request = Io(Del, 5, 6);
    EXPECT_EQ(Db.UserIoctlDeleteAttribute(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK,
                        "kivsdp : UserIoctlDeleteAttribute() - Invalid parameters..\n"));

    Bytes Rec = Le32(h);
    Request = Io(Rec, 4, 4);
    EXPECT_EQ(Db.UserIoctlDeleteRecord(Request), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Request.Information, 4u);
    EXPECT_EQ(Db.UserIoctlDeleteRecord(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed(
        SDP_ZONE_WARN_MASK,
        "kivsdp : UserIoctlDeleteRecord() - Failed to delete hRec 0x10000 (err 0xc000000d)\n"));
    Request = Io(Rec, 3, 4);
    EXPECT_EQ(Db.UserIoctlDeleteRecord(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(
        Printed(SDP_ZONE_WARN_MASK, "kivsdp : UserIoctlDeleteRecord() - Invalid parameters\n"));
}

TEST_F(SdpCoreFixture, VerifyRequestRunsTheCheckOnlyOnInput)
{
    Bytes Good = {0x35, 0x03, 0x19, 0x11, 0x01};
    SDP_IOCTL_BUFFER Request = Io(Good, 5, 0);
    EXPECT_EQ(CSdpDatabase::UserIoctlVerifyDataElement(Request), SDP_STATUS_SUCCESS);
    Request = Io(Good, 4, 0);
    EXPECT_EQ(CSdpDatabase::UserIoctlVerifyDataElement(Request), SDP_STATUS_INVALID_PARAMETER);
    Request = Io(Good, 0, 0);
    EXPECT_EQ(CSdpDatabase::UserIoctlVerifyDataElement(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed(SDP_ZONE_WARN_MASK,
                        "kivsdp : UserIoctlVerifyDataElement() - Invalid parameters..\n"));
}

TEST_F(SdpCoreFixture, RecordHandleListSkipsTheServerRecord)
{
    Bytes Buffer(8, 0);
    SDP_IOCTL_BUFFER Request = Io(Buffer, 0, 4);
    EXPECT_EQ(Db.UserIoctlGetRecordHandles(Request), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Request.Information, 0u);
    AddRecord();
    AddRecord();
    Request = Io(Buffer, 0, 8);
    EXPECT_EQ(Db.UserIoctlGetRecordHandles(Request), SDP_STATUS_SUCCESS);
    EXPECT_EQ(Request.Information, 8u);
    EXPECT_EQ(Buffer, Cat({Le32(0x00010000), Le32(0x00010001)}));
    Request = Io(Buffer, 0, 4);
    EXPECT_EQ(Db.UserIoctlGetRecordHandles(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request.Information, 8u);
    EXPECT_TRUE(
        Printed(SDP_ZONE_WARN_MASK,
                "kivsdp : UserIoctlGetRecordHandles() - Buffer too small. We need at least 0x8\n"));
    Request = Io(Buffer, 0, 3);
    EXPECT_EQ(Db.UserIoctlGetRecordHandles(Request), SDP_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request.Information, 4u);
}
