// Human and JSON renderings of data elements and service records, for
// kivsdpctl's browse, attrs and export output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sdprecord.h"

namespace kivtool {

// One line for a leaf ("uint16 0x0001", "int8 -3", "uuid16 0x1101
// (SerialPort)", "text \"Serial Port\"", "bool true", "nil"); the first line
// ("sequence", "alternative", or "... (empty)") for a container.
std::string FormatLeaf(const DataElement& De);

// The element as an indented tree, one element per line, each line ending in
// '\n'; Indent is the number of spaces before the first line.
std::string FormatTree(const DataElement& De, unsigned Indent);

// A record as text:
//   Record 0x00010000
//     0x0001 ServiceClassIDList: sequence
//       uuid16 0x1101 (SerialPort)
// Unnamed attributes show their ID alone. A feature mask of the record's
// profile spells its bits after the number, lowest first:
//     0x0311 SupportedFeatures: uint16 0x0003 (EC/NR, ThreeWayCalling)
// ("(none)" when no bit is set; "bitN" for a bit without a name). A record without a readable
// handle is headed "Record (no handle)".
std::string FormatRecord(const ServiceRecord& Record);
// Records separated by an empty line.
std::string FormatRecords(const std::vector<ServiceRecord>& Records);

// A JSON string literal (with quotes) for UTF-8 text: '"', '\\' and control
// characters are escaped; bytes that are not UTF-8 become \u00XX of the byte.
std::string JsonString(std::string_view Text);

// JSON for one element: {"type":"uint8","value":1}. Numbers of up to 32
// bits are JSON numbers; 64- and 128-bit ones are strings (hex for uint,
// decimal for int64, hex bit pattern for int128) so that no reader rounds
// them. UUIDs are strings, with "name" when known; text and URLs are
// strings, or "hex" when they are not UTF-8; containers carry "members".
std::string ElementJson(const DataElement& De);
// {"handle":65536,"attributes":[{"id":1,"name":"ServiceClassIDList","value":{...}}]};
// "handle" is null without a readable handle, "name" absent when unknown; a
// feature mask also carries "features":["EC/NR",...], the names of its bits.
std::string RecordJson(const ServiceRecord& Record);
// A JSON array of records, followed by a newline.
std::string RecordsJson(const std::vector<ServiceRecord>& Records);

} // namespace kivtool
