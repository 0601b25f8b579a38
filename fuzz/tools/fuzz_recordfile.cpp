// libFuzzer target: arbitrary text to the record-file reader. A record it takes must export and
// read back to the same record, and export again to the same text: what the daemon loads at
// start is what kivsdpctl export writes.
#include "sdprecordfile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    std::string Xml(reinterpret_cast<const char*>(Data), Size);
    kivtool::ServiceRecord Record;
    kivtool::RecordFileError Err;
    if (!kivtool::ImportRecordXml(Xml, Record, Err)) {
        if (Err.Message.empty()) std::abort(); // a refusal says why
        (void)Err.ToString();
        return 0;
    }
    std::string Out, ExportErr;
    if (!kivtool::ExportRecordXml(Record, Out, ExportErr)) std::abort();
    kivtool::ServiceRecord Again;
    if (!kivtool::ImportRecordXml(Out, Again, Err) || !(Again == Record)) std::abort();
    std::string Twice;
    if (!kivtool::ExportRecordXml(Again, Twice, ExportErr) || Twice != Out) std::abort();
    return 0;
}
