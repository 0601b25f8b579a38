// Record files: one service record in the XML form the Bluetooth ecosystem
// uses (<record>, <attribute id=>, <sequence>, <alternate>, <uuid>, <uintN>,
// <intN>, <text>, <url>, <boolean>, <nil>). Import and export round-trip byte
// for byte: a length field wider than its contents need is kept in an extra
// lengthbits="8|16|32" attribute, written only when it is not the smallest,
// and a 32-bit UUID whose value fits 16 bits carries bits="32".
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

// Parses one record from XML text, in the dialect other Bluetooth tools write
// and read: XML attributes that mean nothing on an element (name="channel")
// are skipped; attribute 0x0000 is read and dropped, since the server gives
// each record its own handle; 128-bit numbers without 0x are 32 hex digits,
// least significant byte first; a short UUID whose value fits 16 bits is a
// 16-bit UUID (bits="32" keeps 32). Refused, with the position of the fault:
// XML that is not well-formed, a DOCTYPE (no DTD is ever loaded), an unknown
// element, text outside attribute values, a bad or too large number, a bad
// UUID or hex string, an encoding on a url, an attribute with no value or
// more than one, a duplicate attribute ID, and a value larger than the 512
// bytes the server stores. Out is only written on success.
bool ImportRecordXml(std::string_view Xml, ServiceRecord& Out, RecordFileError& Err);

// Reads and parses the file at Path; a file that cannot be read is an error
// at line 0.
bool ImportRecordFile(const std::string& Path, ServiceRecord& Out, RecordFileError& Err);

// Writes the record as XML, attributes in the record's order, in a form that
// other readers of these files read back to the same bytes (the lengthbits
// and bits additions aside, which they skip). Attribute 0x0000 is left out.
// Fails, with Out unchanged, for a value the format cannot carry (type 9, a
// url with bytes XML cannot hold) or one that does not encode.
bool ExportRecordXml(const ServiceRecord& Record, std::string& Out, std::string& Err);

} // namespace kivtool
