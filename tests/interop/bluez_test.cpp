// BlueZ's SDP client library browses the daemon through a SEQPACKET connection: every record of
// the public browse group and every attribute must arrive exactly as the record files hold them,
// with continuation at MTU 48 and without at MTU 672, through all three transactions.
#include "DaemonFixture.h"

#include "sdprecordfile.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <endian.h>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <unistd.h>

using kivtool::DataElement;
using kivtool::DeType;

namespace {

using ATTRIBUTES = std::map<uint16_t, DataElement>;

void PushBe(BYTES& Out, uint64_t v, size_t Width)
{
    for (size_t i = Width; i-- > 0;)
        Out.push_back(uint8_t(v >> (8 * i)));
}

// The library's tree of one value as the tools' data element, so both compare as values, size
// indexes and length-field widths included. Err names what the library produced that has no
// such element.
bool FromLibrary(const sdp_data_t* d, DataElement& Out, std::string& Err)
{
    Out = DataElement{};
    Out.Type = DeType(d->dtd >> 3);
    Out.SizeIndex = uint8_t(d->dtd & 7);
    switch (d->dtd) {
    case SDP_DATA_NIL:
        return true;
    case SDP_UINT8:
    case SDP_INT8:
    case SDP_BOOL:
        Out.Data.push_back(d->val.uint8);
        return true;
    case SDP_UINT16:
    case SDP_INT16:
        PushBe(Out.Data, d->val.uint16, 2);
        return true;
    case SDP_UINT32:
    case SDP_INT32:
        PushBe(Out.Data, d->val.uint32, 4);
        return true;
    case SDP_UINT64:
    case SDP_INT64:
        PushBe(Out.Data, d->val.uint64, 8);
        return true;
    case SDP_UINT128:
    case SDP_INT128:
        // The library keeps 128-bit integers in host byte order (UUIDs it keeps as they travel).
#if __BYTE_ORDER == __LITTLE_ENDIAN
        Out.Data.assign(std::rbegin(d->val.uint128.data), std::rend(d->val.uint128.data));
#else
        Out.Data.assign(d->val.uint128.data, d->val.uint128.data + 16);
#endif
        return true;
    case SDP_UUID16:
        PushBe(Out.Data, d->val.uuid.value.uuid16, 2);
        return true;
    case SDP_UUID32:
        PushBe(Out.Data, d->val.uuid.value.uuid32, 4);
        return true;
    case SDP_UUID128:
        Out.Data.assign(d->val.uuid.value.uuid128.data, d->val.uuid.value.uuid128.data + 16);
        return true;
    case SDP_TEXT_STR8:
    case SDP_TEXT_STR16:
    case SDP_TEXT_STR32:
    case SDP_URL_STR8:
    case SDP_URL_STR16:
    case SDP_URL_STR32: {
        // The library counts a string's unit size as its header byte and its bytes, whatever
        // the width of the length field; the bytes may hold zeros.
        if (d->unitSize < 1 || d->val.str == nullptr) {
            Err = "string with unit size " + std::to_string(d->unitSize);
            return false;
        }
        size_t Length = size_t(d->unitSize) - 1;
        Out.Data.assign(d->val.str, d->val.str + Length);
        return true;
    }
    case SDP_SEQ8:
    case SDP_SEQ16:
    case SDP_SEQ32:
    case SDP_ALT8:
    case SDP_ALT16:
    case SDP_ALT32:
        for (const sdp_data_t* m = d->val.dataseq; m != nullptr; m = m->next) {
            Out.Members.emplace_back();
            if (!FromLibrary(m, Out.Members.back(), Err)) return false;
        }
        return true;
    default:
        Err = "type descriptor " + std::to_string(d->dtd);
        return false;
    }
}

bool FromLibrary(const sdp_record_t* Rec, ATTRIBUTES& Out, std::string& Err)
{
    for (const sdp_list_t* l = Rec->attrlist; l != nullptr; l = l->next) {
        const sdp_data_t* d = static_cast<const sdp_data_t*>(l->data);
        DataElement De;
        if (!FromLibrary(d, De, Err)) {
            Err = "attribute " + std::to_string(d->attrId) + ": " + Err;
            return false;
        }
        Out[d->attrId] = De;
    }
    return true;
}

// Frees an sdp_list_t and, through F, what it holds.
struct LIST {
    sdp_list_t* p = nullptr;
    sdp_free_func_t F = nullptr;
    ~LIST() { sdp_list_free(p, F); }
};

void FreeRecord(void* p)
{
    sdp_record_free(static_cast<sdp_record_t*>(p));
}

class BluezBrowse : public DaemonFixture, public ::testing::WithParamInterface<unsigned> {
protected:
    // The record files, and the handle the daemon gave each (from its start-up lines).
    void LoadExpected(const DAEMON& D)
    {
        std::vector<std::string> Files;
        DIR* Dir = opendir(RECORDS_DIR);
        ASSERT_NE(Dir, nullptr);
        while (dirent* E = readdir(Dir)) {
            std::string Name = E->d_name;
            if (Name.size() > 4 && Name.substr(Name.size() - 4) == ".xml")
                Files.push_back(std::string(RECORDS_DIR) + "/" + Name);
        }
        closedir(Dir);
        ASSERT_FALSE(Files.empty());
        std::string Log = LogOf(D);
        for (const std::string& File : Files) {
            kivtool::ServiceRecord Record;
            kivtool::RecordFileError Err;
            ASSERT_TRUE(kivtool::ImportRecordFile(File, Record, Err)) << File << Err.ToString();
            size_t At = Log.find(" from " + File + "\n");
            ASSERT_NE(At, std::string::npos) << "no handle logged for " << File << "\n" << Log;
            size_t Hex = Log.rfind("record 0x", At);
            ASSERT_NE(Hex, std::string::npos);
            uint32_t Handle = uint32_t(std::stoul(Log.substr(Hex + 9, 8), nullptr, 16));
            ATTRIBUTES Attrs;
            for (const auto& A : Record.Attributes)
                Attrs[A.Id] = A.Value;
            Attrs[0x0000] = kivtool::MakeUint(4, Handle);
            m_Expected[Handle] = Attrs;
        }
    }

    void ExpectRecord(const sdp_record_t* Rec, const char* How)
    {
        ATTRIBUTES Got;
        std::string Err;
        ASSERT_TRUE(FromLibrary(Rec, Got, Err)) << How << ": " << Err;
        auto It = m_Expected.find(Rec->handle);
        ASSERT_NE(It, m_Expected.end()) << How << ": unexpected record " << Rec->handle;
        ASSERT_EQ(Got.size(), It->second.size()) << How << ": record " << Rec->handle;
        for (const auto& [Id, Value] : It->second) {
            auto G = Got.find(Id);
            ASSERT_NE(G, Got.end()) << How << ": record " << Rec->handle << " lacks " << Id;
            BYTES Want, Have;
            ASSERT_TRUE(bool(kivtool::EncodeDataElement(Value, Want)));
            ASSERT_TRUE(bool(kivtool::EncodeDataElement(G->second, Have)))
                << How << ": record " << Rec->handle << " attribute " << Id;
            EXPECT_EQ(Have, Want) << How << ": record " << Rec->handle << " attribute " << Id;
        }
    }

    std::map<uint32_t, ATTRIBUTES> m_Expected;
};

} // namespace

TEST_P(BluezBrowse, SeesEveryRecordAndAttributeAsLoaded)
{
    unsigned Mtu = GetParam();
    DAEMON D = Start("d", {"--mtu", std::to_string(Mtu), "--records", RECORDS_DIR});
    ASSERT_GT(D.Pid, 0);
    LoadExpected(D);
    ASSERT_FALSE(HasFatalFailure());
    // At MTU 48 the large record cannot come in one response: the library must follow the
    // continuation states for it to arrive whole.
    size_t Largest = 0;
    for (const auto& [Handle, Attrs] : m_Expected) {
        size_t Size = 0;
        for (const auto& [Id, Value] : Attrs)
            Size += 3 + kivtool::EncodedSize(Value);
        Largest = std::max(Largest, Size);
    }
    EXPECT_GT(Largest, 4 * size_t(Mtu == 48 ? 48 : 0));

    int Fd = Connect(D.Sdp);
    ASSERT_GE(Fd, 0);
    // The library takes the socket over: its session closes it.
    sdp_session_t* Session = sdp_create(Fd, 0);
    ASSERT_NE(Session, nullptr);
    EXPECT_EQ(sdp_get_socket(Session), Fd);

    uuid_t Browse;
    sdp_uuid16_create(&Browse, PUBLIC_BROWSE_GROUP);
    LIST Search{sdp_list_append(nullptr, &Browse)};
    uint32_t AllRange = 0x0000FFFF;
    LIST Range{sdp_list_append(nullptr, &AllRange)};

    // ServiceSearch: exactly the loaded records (the server's own record is not browsable).
    LIST Handles{nullptr, free};
    ASSERT_EQ(sdp_service_search_req(Session, Search.p, 0xFFFF, &Handles.p), 0)
        << strerror(sdp_get_error(Session));
    std::vector<uint32_t> Got, Want;
    for (const sdp_list_t* l = Handles.p; l != nullptr; l = l->next)
        Got.push_back(*static_cast<const uint32_t*>(l->data));
    for (const auto& Entry : m_Expected)
        Want.push_back(Entry.first);
    std::sort(Got.begin(), Got.end());
    EXPECT_EQ(Got, Want);

    // ServiceAttribute for each, the whole range, then two single IDs.
    for (uint32_t Handle : Want) {
        sdp_record_t* Rec = sdp_service_attr_req(Session, Handle, SDP_ATTR_REQ_RANGE, Range.p);
        ASSERT_NE(Rec, nullptr) << "record " << Handle << ": " << strerror(sdp_get_error(Session));
        ExpectRecord(Rec, "attribute request");
        sdp_record_free(Rec);

        uint16_t Ids[2] = {0x0000, 0x0001};
        LIST Individual{sdp_list_append(sdp_list_append(nullptr, &Ids[0]), &Ids[1])};
        Rec = sdp_service_attr_req(Session, Handle, SDP_ATTR_REQ_INDIVIDUAL, Individual.p);
        ASSERT_NE(Rec, nullptr);
        ATTRIBUTES Two;
        std::string Err;
        ASSERT_TRUE(FromLibrary(Rec, Two, Err)) << Err;
        EXPECT_EQ(Two.size(), 2u);
        EXPECT_EQ(Two[0x0000], kivtool::MakeUint(4, Handle));
        EXPECT_EQ(Two[0x0001], m_Expected[Handle][0x0001]);
        sdp_record_free(Rec);
    }

    // ServiceSearchAttribute: every record with every attribute in one series.
    LIST Records{nullptr, FreeRecord};
    ASSERT_EQ(
        sdp_service_search_attr_req(Session, Search.p, SDP_ATTR_REQ_RANGE, Range.p, &Records.p), 0)
        << strerror(sdp_get_error(Session));
    EXPECT_EQ(size_t(sdp_list_len(Records.p)), m_Expected.size());
    for (const sdp_list_t* l = Records.p; l != nullptr; l = l->next)
        ExpectRecord(static_cast<const sdp_record_t*>(l->data), "search attribute request");

    EXPECT_EQ(sdp_close(Session), 0);
    errno = 0;
    EXPECT_EQ(fcntl(Fd, F_GETFD), -1) << "the session left its socket open";
    EXPECT_EQ(errno, EBADF);

    StopClean(D);
    std::string Log = LogOf(D);
    EXPECT_EQ(Log.find("frame dropped"), std::string::npos) << Log;
}

INSTANTIATE_TEST_SUITE_P(Mtu, BluezBrowse, ::testing::Values(48u, 672u),
                         [](const auto& Info) { return "Mtu" + std::to_string(Info.param); });
