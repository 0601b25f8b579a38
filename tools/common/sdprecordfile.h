// Record files: one service record in the XML form the Bluetooth ecosystem
// uses (<record>, <attribute id=>, <sequence>, <alternate>, <uuid>, <uintN>,
// <intN>, <text>, <url>, <boolean>, <nil>). Import and export round-trip byte
// for byte: a length field wider than its contents need is kept in an extra
// lengthbits="8|16|32" attribute, written only when it is not the smallest.
#pragma once

#include <string>
#include <string_view>

#include "sdprecord.h"

namespace kivtool {

// Where and why a record file was refused. Line and Column count from 1;
// Column is 0 when unknown.
struct RecordFileError {
    unsigned Line = 0;
    unsigned Column = 0;
    std::string Message;
    // "line L, column C: message" (or "line L: message").
    std::string ToString() const;
};

// Parses one record from XML text. Refused, with the position of the fault:
// XML that is not well-formed, a DOCTYPE (no DTD is ever loaded), an unknown
// element or attribute, text outside attribute values, a bad or too large
// number, a bad UUID or hex string, an attribute with no value or more than
// one, a duplicate attribute ID, attribute 0x0000 (the server assigns the
// handle), and a value larger than the 512 bytes the server stores. Out is
// only written on success.
bool ImportRecordXml(std::string_view Xml, ServiceRecord& Out, RecordFileError& Err);

// Reads and parses the file at Path; a file that cannot be read is an error
// at line 0.
bool ImportRecordFile(const std::string& Path, ServiceRecord& Out, RecordFileError& Err);

// Writes the record as XML, attributes in the record's order. Attribute
// 0x0000 is left out, so that a record read from a database exports to a file
// that can be loaded again. Fails, with Out unchanged, for a value the format
// cannot carry (type 9) or one that does not encode.
bool ExportRecordXml(const ServiceRecord& Record, std::string& Out, std::string& Err);

} // namespace kivtool
