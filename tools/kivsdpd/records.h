// The --records directory: every *.xml file in it, read all or nothing, loaded into each device
// at start and applied again, as a difference, on SIGHUP.
#pragma once

#include "sdprecord.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kivsdpd {

// A record file larger than this is refused before it is read.
constexpr size_t MAX_RECORD_FILE_SIZE = 1024 * 1024;

struct RECORD_FILE {
    std::string Path; // Dir + "/" + name
    std::string Text; // the file's bytes: a file whose bytes changed is replaced on reload
    kivtool::ServiceRecord Record;
};

// Reads the *.xml files of Dir in name order. Only regular files (or links to them) of at most
// MAX_RECORD_FILE_SIZE bytes are read: a FIFO, a device or a directory is refused without being
// opened for reading. All or nothing: Errors gets one line per refused file ("PATH: why") and
// Out is written only when there is none.
bool ReadRecordDirectory(const std::string& Dir, std::vector<RECORD_FILE>& Out,
                         std::vector<std::string>& Errors);

// What a reload changes: indexes into the old and the new list.
struct RECORD_CHANGES {
    std::vector<size_t> Added;                      // new
    std::vector<size_t> Removed;                    // old
    std::vector<std::pair<size_t, size_t>> Changed; // old, new
    size_t Unchanged = 0;
};
RECORD_CHANGES DiffRecords(const std::vector<RECORD_FILE>& Old,
                           const std::vector<RECORD_FILE>& New);

// The records of the directory as the devices hold them.
class CRecordSet {
public:
    using AddFn = std::function<bool(const kivtool::ServiceRecord&, uint32_t& hRec, std::string&)>;
    using DeleteFn = std::function<bool(uint32_t hRec, std::string&)>;
    using LogFn = std::function<void(const std::string&)>;
    struct DEVICE_OPS {
        AddFn Add;       // all or nothing
        DeleteFn Delete; // false when the record could not be deleted
    };

    // Reads Dir (see ReadRecordDirectory); nothing is added to a device yet.
    bool Read(const std::string& Dir, std::vector<std::string>& Errors);
    // Adds every record read to a new device, in file order, logging each handle.
    bool Attach(DEVICE_OPS Ops, LogFn Log, std::string& Err);
    // Reads the directory again and applies the difference to every device: records of new
    // files are added, of removed files deleted, of changed files replaced. A bad file changes
    // nothing (Errors names it); so does a device that refuses an addition (the additions made
    // are taken back). Summary: "N added, N removed, N changed, N unchanged".
    bool Reload(std::vector<std::string>& Errors, std::string& Summary);

    size_t Count() const { return m_Files.size(); }
    const std::string& Dir() const { return m_Dir; }

private:
    std::string m_Dir;
    std::vector<RECORD_FILE> m_Files;
    std::vector<DEVICE_OPS> m_Devices;
    std::vector<std::vector<uint32_t>> m_Handles; // [device][file]
};

// SIGHUP: Records.Reload, logged in one line with the counts, or in one line per bad file and
// one saying that nothing changed.
void ReloadRecords(CRecordSet& Records, const CRecordSet::LogFn& Log);

} // namespace kivsdpd
