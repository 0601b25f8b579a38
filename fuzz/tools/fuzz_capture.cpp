// libFuzzer target: arbitrary bytes to the capture reader. A capture it takes is written again
// from its records and must come out as the same bytes (apart from the cumulative drops field,
// which the writer always writes as 0); a refused one is refused with a reason.
#include "btsnoop.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // Most inputs start with the header, so that the record parser is reached.
    btsnoop::BYTES File = btsnoop::FileHeader();
    if (Size > 0 && Data[0] == 0) File.clear();
    File.insert(File.end(), Data + (Size > 0 ? 1 : 0), Data + Size);
    std::vector<btsnoop::RECORD> Records;
    std::string Err;
    if (!btsnoop::ParseFile(File, Records, Err)) {
        if (Err.empty()) std::abort();
        return 0;
    }
    btsnoop::BYTES Again = btsnoop::FileHeader();
    for (const auto& R : Records)
        btsnoop::AppendRecord(Again, R.Flags, R.Timestamp, R.Packet);
    if (Again.size() != File.size()) std::abort();
    for (size_t Pos = btsnoop::FILE_HEADER_SIZE, i = 0; i < Records.size(); i++) {
        for (size_t k = 12; k < 16; k++)
            File[Pos + k] = 0; // cumulative drops
        Pos += btsnoop::RECORD_HEADER_SIZE + Records[i].Packet.size();
    }
    if (Again != File) std::abort();
    return 0;
}
