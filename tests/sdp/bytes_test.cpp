// The byte reader and writer every request and response goes through: each
// row runs a few operations and names, by hand, the values read or the bytes
// left in the buffer, and whether the cursor is still good.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bytes.h"

namespace {

enum class OP {
    U8,
    BE16,
    BE32,
    LE16,
    LE32,
    SKIP,
    TAKE,
    END,
    BYTES,
    RESERVE,
    PATCH_U8,
    PATCH_BE16,
    PATCH_LE32
};

struct STEP {
    OP Op;
    uint32_t Arg = 0;   // value to write, byte count, or offset of a patch
    uint32_t Value = 0; // value of a patch
    std::vector<uint8_t> Bytes = {};
};

// Reads: each read, and each END (1 when the sub-reader it closes is still
// good), yields a value. TAKE n reads on in a sub-reader of the next n bytes
// until END goes back to the reader it came from.
struct READ_CASE {
    const char* Name;
    std::vector<uint8_t> In;
    std::vector<STEP> Steps;
    std::vector<uint32_t> Values;
    bool Ok;
    size_t Remaining;
};

const READ_CASE ReadCases[] = {
    {"EveryWidthInBothByteOrders",
     {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44, 0x55},
     {{OP::U8}, {OP::BE16}, {OP::BE32}, {OP::LE16}, {OP::LE32}},
     {0x12, 0x3456, 0x789ABCDE, 0x11F0, 0x55443322},
     true,
     0},
    {"ShortReadGivesZeroAndSticks", {0x01, 0x02, 0x03}, {{OP::BE32}, {OP::U8}}, {0, 0}, false, 0},
    {"SkipMovesOn", {0xAA, 0xBB, 0xCC, 0xDD}, {{OP::SKIP, 2}, {OP::U8}}, {0xCC}, true, 1},
    {"SkipPastTheEndFails", {0xAA, 0xBB}, {{OP::SKIP, 3}, {OP::U8}}, {0}, false, 0},
    {"SubReaderEndsAtItsLength",
     // 35 03 [19 11 01] 09 00 01: a sequence holding one UUID, then an ID.
     {0x35, 0x03, 0x19, 0x11, 0x01, 0x09, 0x00, 0x01},
     {{OP::U8},
      {OP::SKIP, 1},
      {OP::TAKE, 3},
      {OP::U8},
      {OP::BE16},
      {OP::U8},
      {OP::END},
      {OP::U8},
      {OP::BE16}},
     {0x35, 0x19, 0x1101, 0, 0, 0x09, 0x0001},
     true,
     0},
    {"SubReaderLongerThanTheRestFailsBoth",
     {0x35, 0x05, 0x19, 0x11},
     {{OP::SKIP, 2}, {OP::TAKE, 5}, {OP::U8}, {OP::END}, {OP::U8}},
     {0, 0, 0},
     false,
     0},
};

class ByteReaderTable : public ::testing::TestWithParam<READ_CASE> {};

TEST_P(ByteReaderTable, ReadsAsWrittenByHand)
{
    const READ_CASE& Case = GetParam();
    std::vector<CByteReader> Readers{CByteReader(Case.In.data(), Case.In.size())};
    std::vector<uint32_t> Values;
    for (const STEP& Step : Case.Steps) {
        CByteReader& r = Readers.back();
        switch (Step.Op) {
        case OP::U8:
            Values.push_back(r.ReadU8());
            break;
        case OP::BE16:
            Values.push_back(r.ReadBe16());
            break;
        case OP::BE32:
            Values.push_back(r.ReadBe32());
            break;
        case OP::LE16:
            Values.push_back(r.ReadLe16());
            break;
        case OP::LE32:
            Values.push_back(r.ReadLe32());
            break;
        case OP::SKIP:
            r.Skip(Step.Arg);
            break;
        case OP::TAKE:
            Readers.push_back(r.Take(Step.Arg));
            break;
        case OP::END:
            Values.push_back(r.Ok() ? 1u : 0u);
            Readers.pop_back();
            break;
        default:
            FAIL() << "not a read";
        }
    }
    ASSERT_EQ(Readers.size(), 1u);
    EXPECT_EQ(Values, Case.Values);
    EXPECT_EQ(Readers[0].Ok(), Case.Ok);
    EXPECT_EQ(Readers[0].Remaining(), Case.Remaining);
}

INSTANTIATE_TEST_SUITE_P(Bytes, ByteReaderTable, ::testing::ValuesIn(ReadCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Writes into a buffer of Capacity bytes filled with EE; Out is the whole
// buffer afterwards, so bytes a reservation or a failed write left alone show.
struct WRITE_CASE {
    const char* Name;
    size_t Capacity;
    std::vector<STEP> Steps;
    std::vector<size_t> Reserved; // offsets RESERVE returned, in order
    std::vector<uint8_t> Out;
    bool Ok;
    size_t Position;
};

const WRITE_CASE WriteCases[] = {
    {"EveryWidthInBothByteOrders",
     16,
     {{OP::U8, 0x07},
      {OP::BE16, 0x1234},
      {OP::BE32, 0x01020304},
      {OP::LE16, 0x1234},
      {OP::LE32, 0x01020304},
      {OP::BYTES, 0, 0, {0xAA, 0xBB}}},
     {},
     {0x07, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0x34, 0x12, 0x04, 0x03, 0x02, 0x01, 0xAA, 0xBB,
      0xEE},
     true,
     15},
    {"SequenceLengthPatchedAfterItsMembers",
     8,
     {{OP::RESERVE, 3},
      {OP::U8, 0x09},
      {OP::BE16, 0x0001},
      {OP::PATCH_U8, 0, 0x36},
      {OP::PATCH_BE16, 1, 3}},
     {0},
     {0x36, 0x00, 0x03, 0x09, 0x00, 0x01, 0xEE, 0xEE},
     true,
     6},
    {"ReservedBytesAreLeftAsTheyAre",
     4,
     {{OP::U8, 0x01}, {OP::RESERVE, 2}, {OP::U8, 0x02}},
     {1},
     {0x01, 0xEE, 0xEE, 0x02},
     true,
     4},
    {"CountsPatchedInNestedOrder",
     12,
     {{OP::RESERVE, 4},
      {OP::RESERVE, 4},
      {OP::BYTES, 0, 0, {0x01, 0x02}},
      {OP::PATCH_LE32, 4, 1},
      {OP::PATCH_LE32, 0, 0x0A0B0C0D}},
     {0, 4},
     {0x0D, 0x0C, 0x0B, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0xEE, 0xEE},
     true,
     10},
    {"WriteThatDoesNotFitWritesNothingAndSticks",
     3,
     {{OP::BE16, 0xABCD}, {OP::BE16, 0x1234}, {OP::U8, 0x55}},
     {},
     {0xAB, 0xCD, 0xEE},
     false,
     2},
    {"ReservationPastTheCapacityFails",
     2,
     {{OP::RESERVE, 3}, {OP::U8, 0x01}},
     {0},
     {0xEE, 0xEE},
     false,
     0},
    {"PatchReachingPastTheWrittenPartFails",
     4,
     {{OP::U8, 0x01}, {OP::PATCH_BE16, 0, 0x2233}, {OP::U8, 0x02}},
     {},
     {0x01, 0xEE, 0xEE, 0xEE},
     false,
     1},
    {"PatchAtThePositionFails",
     2,
     {{OP::U8, 0x01}, {OP::PATCH_U8, 1, 0x02}},
     {},
     {0x01, 0xEE},
     false,
     1},
};

class ByteWriterTable : public ::testing::TestWithParam<WRITE_CASE> {};

TEST_P(ByteWriterTable, WritesAsWrittenByHand)
{
    const WRITE_CASE& Case = GetParam();
    std::vector<uint8_t> Buffer(Case.Capacity, 0xEE);
    CByteWriter w(Buffer.data(), Buffer.size());
    std::vector<size_t> Reserved;
    for (const STEP& Step : Case.Steps) {
        switch (Step.Op) {
        case OP::U8:
            w.WriteU8(static_cast<uint8_t>(Step.Arg));
            break;
        case OP::BE16:
            w.WriteBe16(static_cast<uint16_t>(Step.Arg));
            break;
        case OP::BE32:
            w.WriteBe32(Step.Arg);
            break;
        case OP::LE16:
            w.WriteLe16(static_cast<uint16_t>(Step.Arg));
            break;
        case OP::LE32:
            w.WriteLe32(Step.Arg);
            break;
        case OP::BYTES:
            w.WriteBytes(Step.Bytes.data(), Step.Bytes.size());
            break;
        case OP::RESERVE:
            Reserved.push_back(w.Reserve(Step.Arg));
            break;
        case OP::PATCH_U8:
            w.PatchU8(Step.Arg, static_cast<uint8_t>(Step.Value));
            break;
        case OP::PATCH_BE16:
            w.PatchBe16(Step.Arg, static_cast<uint16_t>(Step.Value));
            break;
        case OP::PATCH_LE32:
            w.PatchLe32(Step.Arg, Step.Value);
            break;
        default:
            FAIL() << "not a write";
        }
    }
    EXPECT_EQ(Reserved, Case.Reserved);
    EXPECT_EQ(Buffer, Case.Out);
    EXPECT_EQ(w.Ok(), Case.Ok);
    EXPECT_EQ(w.Position(), Case.Position);
}

INSTANTIATE_TEST_SUITE_P(Bytes, ByteWriterTable, ::testing::ValuesIn(WriteCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
