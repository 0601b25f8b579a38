// Database request buffers against hand-worked bytes, the decoders of the
// reading requests, and the whole path through the SDP core: sample records
// added by request and read back as a database image.
#include <gtest/gtest.h>

#include <algorithm>

#include "database.h"
#include "kivsdpioctl.h"
#include "sdpcontrol.h"
#include "sdprecordfile.h"

using namespace kivtool;
using Bytes = std::vector<uint8_t>;

TEST(ControlRequests, BuffersMatchHandWorkedBytes)
{
    struct {
        const char* Name;
        ControlRequest Req;
        ControlRequest Expected;
    } Cases[] = {
        {"add record", AddRecordRequest(), {0x80042000u, {}, 4}},
        {"delete record",
         DeleteRecordRequest(0x00010000),
         {0x80042004u, {0x00, 0x00, 0x01, 0x00}, 0}},
        {"delete attribute",
         DeleteAttributeRequest(0x00010002, 0x0100),
         {0x8004200Cu, {0x02, 0x00, 0x01, 0x00, 0x00, 0x01}, 0}},
        {"verify", VerifyDataElementRequest({0x35, 0x00}), {0x80042018u, {0x35, 0x00}, 0}},
        {"get database", GetDatabaseRequest(0x40), {0x8004201Cu, {}, 0x40}},
        {"get record handles", GetRecordHandlesRequest(8), {0x80042020u, {}, 8}},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Req, c.Expected);
    }

    ControlRequest Add;
    std::string Err;
    ASSERT_TRUE(AddAttributeRequest(0x00010002, 0x0100, MakeText("Hi"), Add, Err)) << Err;
    EXPECT_EQ(Add.Code, IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE);
    EXPECT_EQ(Add.OutputLength, 0u);
    EXPECT_EQ(Add.Input, (Bytes{0x02, 0x00, 0x01, 0x00, // handle
                                0x00, 0x01,             // attribute ID
                                0x04, 0x00, 0x00, 0x00, // value length
                                0x25, 0x02, 'H', 'i'}));
}

TEST(ControlRequests, UnsendableAttributesAreRefusedAllOrNothing)
{
    DataElement WrongWidth = MakeUint(2, 1);
    WrongWidth.Data.push_back(0);
    struct {
        const char* Name;
        uint16_t Id;
        DataElement Value;
        const char* Error;
    } Cases[] = {
        {"handle attribute", 0x0000, MakeUint(4, 1),
         "attribute 0x0000 (ServiceRecordHandle) is assigned by the server"},
        {"513-byte value", 0x0101, MakeText(std::string(510, 'x')),
         "attribute 0x0101: value of 513 bytes is larger than the 512 bytes the server stores"},
        {"value that does not encode", 0x0300, WrongWidth,
         "attribute 0x0300: value of 3 bytes where 2 are needed"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        ServiceRecord Rec;
        Rec.Attributes = {{0x0001, MakeSequence({MakeUuid16(0x1101)})}, {c.Id, c.Value}};
        std::vector<ControlRequest> Reqs(1);
        std::string Err;
        EXPECT_FALSE(AddAttributeRequests(0x00010000, Rec, Reqs, Err));
        EXPECT_EQ(Err, c.Error);
        EXPECT_EQ(Reqs.size(), 1u);
    }
    // 512 bytes exactly is what the server stores.
    ControlRequest Req;
    std::string Err;
    EXPECT_TRUE(AddAttributeRequest(1, 0x0101, MakeText(std::string(509, 'x')), Req, Err));
    EXPECT_EQ(Req.Input.size(), 10u + 512u);
}

namespace {

// The server record as the device reports it in a 0x40-byte buffer.
const Bytes ServerImage = {
    0x01, 0x00, 0x00, 0x00,                                           // one record
    0x04, 0x00, 0x00, 0x00,                                           // four attributes
    0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, // 0x0000
    0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x35, 0x03, 0x19, 0x10, 0x00, // 0x0001
    0x02, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x01, // 0x0002
    0x01, 0x02, 0x05, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, // 0x0201
};

} // namespace

TEST(DatabaseImage, EveryShortImageIsRefused)
{
    for (size_t Len = 0; Len < ServerImage.size(); ++Len) {
        SCOPED_TRACE(Len);
        std::vector<ServiceRecord> Records(2);
        std::string Err;
        EXPECT_FALSE(DecodeDatabaseImage(ServerImage.data(), Len, Records, Err));
        EXPECT_FALSE(Err.empty());
        EXPECT_EQ(Records.size(), 2u);
    }
}

TEST(DatabaseImage, InconsistentImagesAreRefusedWithTheReason)
{
    Bytes Trailing = ServerImage;
    Trailing.push_back(0);
    Bytes ShortValue = ServerImage; // 0x0201 claims 4 bytes: its uint32 is cut
    ShortValue[43] = 0x04;
    ShortValue.pop_back();
    Bytes LongValue = ServerImage; // 0x0201 claims 6 bytes: one follows the element
    LongValue[43] = 0x06;
    LongValue.push_back(0);
    Bytes BadValue = ServerImage;
    BadValue[25] = 0xFF; // 0x0001's value header
    Bytes TwoRecords = ServerImage;
    TwoRecords[0] = 2;
    struct {
        const char* Name;
        const Bytes& Image;
        const char* Error;
    } Cases[] = {
        {"trailing byte", Trailing, "1 bytes follow the last record of the image"},
        {"value cut", ShortValue,
         "attribute 0x0201 of record 1 of 1: element at offset 0 claims 4 bytes of data, 3 are "
         "there"},
        {"value too long", LongValue,
         "attribute 0x0201 of record 1 of 1: 1 bytes follow the data element"},
        {"bad value", BadValue,
         "attribute 0x0001 of record 1 of 1: unknown data element type 31 (header 0xFF)"},
        {"record missing", TwoRecords,
         "database image cut short at the attribute count of record 2 of 2"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        std::vector<ServiceRecord> Records;
        std::string Err;
        EXPECT_FALSE(DecodeDatabaseImage(c.Image.data(), c.Image.size(), Records, Err));
        EXPECT_EQ(Err, c.Error);
    }
}

TEST(DatabaseImage, RecordHandlesAndRetrySizes)
{
    const Bytes Two = {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00};
    std::vector<uint32_t> Handles;
    std::string Err;
    ASSERT_TRUE(DecodeRecordHandles(Two.data(), Two.size(), Handles, Err));
    EXPECT_EQ(Handles, (std::vector<uint32_t>{0x00010000, 0x00010001}));
    ASSERT_TRUE(DecodeRecordHandles(Two.data(), 0, Handles, Err));
    EXPECT_TRUE(Handles.empty());
    Handles = {7};
    EXPECT_FALSE(DecodeRecordHandles(Two.data(), 7, Handles, Err));
    EXPECT_EQ(Err, "record handle list of 7 bytes is not a multiple of 4");
    EXPECT_EQ(Handles, std::vector<uint32_t>{7});

    uint32_t h = 0;
    EXPECT_TRUE(DecodeRecordHandle(Two.data(), 4, h));
    EXPECT_EQ(h, 0x00010000u);
    EXPECT_FALSE(DecodeRecordHandle(Two.data(), 3, h));
    EXPECT_FALSE(DecodeRecordHandle(Two.data(), 8, h));

    EXPECT_EQ(NextDatabaseLength(0x40, 0x40), 0x80u);     // minimum refused: grow
    EXPECT_EQ(NextDatabaseLength(0x40, 0x1234), 0x1234u); // what the device asked for
    EXPECT_EQ(NextDatabaseLength(0, 0), 1u);              // always more than offered
    EXPECT_EQ(NextDatabaseLength(0xFFFFFFF0u, 7), 0xFFFFFFFFu);
}

namespace {

// Runs one request on the core's handlers the way the device's dispatch does:
// input and output share one buffer.
SDP_STATUS Send(CSdpDatabase& Db, const ControlRequest& Req, Bytes& Output)
{
    Bytes Buffer(std::max<size_t>(Req.Input.size(), Req.OutputLength) + 1);
    std::copy(Req.Input.begin(), Req.Input.end(), Buffer.begin());
    SDP_IOCTL_BUFFER Io{Buffer.data(), uint32_t(Req.Input.size()), Req.OutputLength, 0};
    SDP_STATUS St = SDP_STATUS_INVALID_PARAMETER;
    switch (Req.Code) {
    case IOCTL_KIVSDP_ADD_SERVICE_RECORD:
        St = Db.UserIoctlAddRecord(Io);
        break;
    case IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE:
        St = Db.UserIoctlAddAttribute(Io);
        break;
    case IOCTL_KIVSDP_GET_DATABASE:
        St = Db.UserIoctlGetDatabase(Io);
        break;
    case IOCTL_KIVSDP_GET_RECORD_HANDLES:
        St = Db.UserIoctlGetRecordHandles(Io);
        break;
    }
    Output.assign(Buffer.begin(), Buffer.begin() + std::min(Io.Information, Req.OutputLength));
    if (!SdpSuccess(St))
        Output.assign({uint8_t(Io.Information), uint8_t(Io.Information >> 8),
                       uint8_t(Io.Information >> 16), uint8_t(Io.Information >> 24)});
    return St;
}

const char* const SampleFiles[] = {"serial-port.xml", "object-push.xml", "audio-sink.xml",
                                   "handsfree.xml", "large-service.xml"};

class ToolCoreFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        Db.DatabaseLock();
        ASSERT_EQ(Db.InitializeSdpDatabase(), SDP_STATUS_SUCCESS);
        Db.DatabaseUnlock();
        for (const char* File : SampleFiles) {
            ServiceRecord Rec;
            RecordFileError FileErr;
            ASSERT_TRUE(
                ImportRecordFile(std::string(KIVSDP_RECORDS_DIR) + "/" + File, Rec, FileErr))
                << FileErr.ToString();
            Bytes Out;
            ASSERT_EQ(Send(Db, AddRecordRequest(), Out), SDP_STATUS_SUCCESS);
            uint32_t hRec = 0;
            ASSERT_TRUE(DecodeRecordHandle(Out.data(), Out.size(), hRec));
            std::vector<ControlRequest> Reqs;
            std::string Err;
            ASSERT_TRUE(AddAttributeRequests(hRec, Rec, Reqs, Err)) << Err;
            for (const ControlRequest& r : Reqs)
                ASSERT_EQ(Send(Db, r, Out), SDP_STATUS_SUCCESS);
            Rec.Attributes.insert(Rec.Attributes.begin(), {0x0000, MakeUint(4, hRec)});
            Loaded.push_back(std::move(Rec));
        }
    }

    CSdpDatabase Db;
    std::vector<ServiceRecord> Loaded;
};

} // namespace

TEST_F(ToolCoreFixture, LoadedRecordsReadBackExactlyThroughTheImage)
{
    uint32_t Size = KIVSDP_GET_DATABASE_MIN_LEN;
    Bytes Image;
    int Tries = 0;
    SDP_STATUS St;
    while ((St = Send(Db, GetDatabaseRequest(Size), Image)) != SDP_STATUS_SUCCESS) {
        ASSERT_EQ(St, SDP_STATUS_INVALID_PARAMETER);
        ASSERT_LT(++Tries, 20);
        uint32_t Needed;
        ASSERT_TRUE(DecodeRecordHandle(Image.data(), Image.size(), Needed));
        Size = NextDatabaseLength(Size, Needed);
    }
    std::vector<ServiceRecord> Records;
    std::string Err;
    ASSERT_TRUE(DecodeDatabaseImage(Image.data(), Image.size(), Records, Err)) << Err;
    ASSERT_EQ(Records.size(), 1 + Loaded.size());
    EXPECT_EQ(Records[0].Handle(), 0u);
    for (size_t i = 0; i < Loaded.size(); ++i) {
        SCOPED_TRACE(SampleFiles[i]);
        EXPECT_EQ(Records[1 + i], Loaded[i]);
    }

    Bytes Out;
    ASSERT_EQ(Send(Db, GetRecordHandlesRequest(64), Out), SDP_STATUS_SUCCESS);
    std::vector<uint32_t> Handles;
    ASSERT_TRUE(DecodeRecordHandles(Out.data(), Out.size(), Handles, Err)) << Err;
    EXPECT_EQ(Handles,
              (std::vector<uint32_t>{0x00010000, 0x00010001, 0x00010002, 0x00010003, 0x00010004}));
}

TEST(AttributeList, MalformedListsAreRefused)
{
    struct {
        const char* Name;
        DataElement List;
        const char* Error;
    } Cases[] = {
        {"not a sequence", MakeAlternative({}), "an attribute list is a sequence"},
        {"odd count", MakeSequence({MakeUint(2, 1), MakeNil(), MakeUint(2, 2)}),
         "attribute list of 3 elements does not pair IDs with values"},
        {"32-bit ID", MakeSequence({MakeUint(4, 1), MakeNil()}),
         "element 1 of the attribute list is not a 16-bit attribute ID"},
        {"text ID", MakeSequence({MakeUint(2, 1), MakeNil(), MakeText("id"), MakeNil()}),
         "element 3 of the attribute list is not a 16-bit attribute ID"},
    };
    for (const auto& c : Cases) {
        SCOPED_TRACE(c.Name);
        ServiceRecord Rec;
        Rec.Attributes = {{7, MakeNil()}};
        std::string Err;
        EXPECT_FALSE(RecordFromAttributeList(c.List, Rec, Err));
        EXPECT_EQ(Err, c.Error);
        EXPECT_EQ(Rec.Attributes.size(), 1u);
    }
}
