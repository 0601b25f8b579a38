// The --records directory (see records.h).

#include "records.h"

#include "sdprecordfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace kivsdpd {
namespace {

const char* KindOf(mode_t Mode)
{
    if (S_ISDIR(Mode)) return "a directory";
    if (S_ISFIFO(Mode)) return "a FIFO";
    if (S_ISCHR(Mode)) return "a character device";
    if (S_ISBLK(Mode)) return "a block device";
    if (S_ISSOCK(Mode)) return "a socket";
    return "not a file";
}

std::string TooLarge(unsigned long long Size)
{
    return std::to_string(Size) + " bytes, larger than the " +
           std::to_string(MAX_RECORD_FILE_SIZE / (1024 * 1024)) + " MiB a record file may have";
}

// The bytes of a regular file of at most MAX_RECORD_FILE_SIZE; Err (without the path) when not.
bool ReadSmallFile(const std::string& Path, std::string& Text, std::string& Err)
{
    // stat before open: opening a device or a FIFO may block or have effects of its own.
    struct stat St;
    if (stat(Path.c_str(), &St) != 0) {
        Err = std::string("cannot read: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(St.st_mode)) {
        Err = std::string("not a regular file (") + KindOf(St.st_mode) + ")";
        return false;
    }
    if (size_t(St.st_size) > MAX_RECORD_FILE_SIZE) {
        Err = TooLarge((unsigned long long)St.st_size);
        return false;
    }
    // The name may have been pointed elsewhere since: O_NONBLOCK keeps a FIFO from blocking the
    // open, and what was opened is checked again.
    int Fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (Fd < 0 || fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        Err = Fd < 0 ? std::string("cannot open: ") + strerror(errno)
                     : std::string("not a regular file (") + KindOf(St.st_mode) + ")";
        if (Fd >= 0) close(Fd);
        return false;
    }
    // One byte more than allowed tells a file that grew after the check.
    std::string Buffer(MAX_RECORD_FILE_SIZE + 1, '\0');
    size_t Got = 0;
    while (Got < Buffer.size()) {
        ssize_t n = read(Fd, &Buffer[Got], Buffer.size() - Got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Err = std::string("cannot read: ") + strerror(errno);
            close(Fd);
            return false;
        }
        if (n == 0) break;
        Got += size_t(n);
    }
    close(Fd);
    if (Got > MAX_RECORD_FILE_SIZE) {
        Err = TooLarge(Got) + " (it grew while read)";
        return false;
    }
    Buffer.resize(Got);
    Text = std::move(Buffer);
    return true;
}

} // namespace

bool ReadRecordDirectory(const std::string& Dir, std::vector<RECORD_FILE>& Out,
                         std::vector<std::string>& Errors)
{
    Errors.clear();
    std::vector<std::string> Names;
    DIR* D = opendir(Dir.c_str());
    if (D == nullptr) {
        Errors.push_back("cannot read record directory " + Dir + ": " + strerror(errno));
        return false;
    }
    while (dirent* E = readdir(D)) {
        std::string Name = E->d_name;
        if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".xml") == 0) Names.push_back(Name);
    }
    closedir(D);
    // Sorted, so that handles follow the file names from one start to the next.
    std::sort(Names.begin(), Names.end());
    std::vector<RECORD_FILE> Files;
    for (const std::string& Name : Names) {
        RECORD_FILE F;
        F.Path = Dir + "/" + Name;
        std::string Err;
        if (!ReadSmallFile(F.Path, F.Text, Err)) {
            Errors.push_back(F.Path + ": " + Err);
            continue;
        }
        kivtool::RecordFileError FileErr;
        if (!kivtool::ImportRecordXml(F.Text, F.Record, FileErr)) {
            Errors.push_back(F.Path + ": " + FileErr.ToString());
            continue;
        }
        Files.push_back(std::move(F));
    }
    if (!Errors.empty()) return false;
    Out = std::move(Files);
    return true;
}

RECORD_CHANGES DiffRecords(const std::vector<RECORD_FILE>& Old, const std::vector<RECORD_FILE>& New)
{
    RECORD_CHANGES C;
    std::map<std::string, size_t> OldByPath;
    for (size_t i = 0; i < Old.size(); i++)
        OldByPath[Old[i].Path] = i;
    for (size_t n = 0; n < New.size(); n++) {
        auto It = OldByPath.find(New[n].Path);
        if (It == OldByPath.end()) {
            C.Added.push_back(n);
            continue;
        }
        if (Old[It->second].Text == New[n].Text)
            C.Unchanged++;
        else
            C.Changed.push_back({It->second, n});
        OldByPath.erase(It);
    }
    for (const auto& [Path, i] : OldByPath)
        C.Removed.push_back(i);
    std::sort(C.Removed.begin(), C.Removed.end());
    return C;
}

bool CRecordSet::Read(const std::string& Dir, std::vector<std::string>& Errors)
{
    m_Dir = Dir;
    return ReadRecordDirectory(Dir, m_Files, Errors);
}

bool CRecordSet::Attach(DEVICE_OPS Ops, LogFn Log, std::string& Err)
{
    const size_t Device = m_Devices.size();
    std::vector<uint32_t> Handles;
    for (const RECORD_FILE& F : m_Files) {
        uint32_t hRec = 0;
        if (!Ops.Add(F.Record, hRec, Err)) {
            Err = F.Path + ": " + Err;
            return false;
        }
        Handles.push_back(hRec);
        char Line[64];
        snprintf(Line, sizeof(Line), "KivSdp%zu: record 0x%08x from ", Device, hRec);
        if (Log) Log(Line + F.Path);
    }
    m_Devices.push_back(std::move(Ops));
    m_Handles.push_back(std::move(Handles));
    return true;
}

bool CRecordSet::Reload(std::vector<std::string>& Errors, std::string& Summary)
{
    std::vector<RECORD_FILE> New;
    if (!ReadRecordDirectory(m_Dir, New, Errors)) return false;
    const RECORD_CHANGES C = DiffRecords(m_Files, New);
    // The new and changed files' records first: a device that refuses one gets back exactly the
    // records it had, with their handles.
    std::vector<size_t> ToAdd = C.Added;
    for (const auto& [o, n] : C.Changed)
        ToAdd.push_back(n);
    std::vector<std::vector<uint32_t>> Handles(m_Devices.size());
    for (size_t d = 0; d < m_Devices.size(); d++) {
        Handles[d].assign(New.size(), 0);
        for (size_t n : ToAdd) {
            std::string Err;
            if (m_Devices[d].Add(New[n].Record, Handles[d][n], Err)) continue;
            Errors.push_back("KivSdp" + std::to_string(d) + ": " + New[n].Path + ": " + Err);
            for (size_t e = 0; e <= d; e++)
                for (size_t k : ToAdd) {
                    if (Handles[e][k] == 0) continue;
                    std::string Ignored;
                    m_Devices[e].Delete(Handles[e][k], Ignored);
                }
            return false;
        }
    }
    std::vector<size_t> ToDelete = C.Removed;
    for (const auto& [o, n] : C.Changed)
        ToDelete.push_back(o);
    for (size_t d = 0; d < m_Devices.size(); d++) {
        for (size_t o : ToDelete) {
            std::string Err;
            // A record an application deleted already is gone all the same.
            if (!m_Devices[d].Delete(m_Handles[d][o], Err))
                Errors.push_back("KivSdp" + std::to_string(d) + ": record of " + m_Files[o].Path +
                                 ": " + Err);
        }
        // Unchanged files keep their records and handles.
        size_t o = 0;
        for (size_t n = 0; n < New.size(); n++) {
            if (Handles[d][n] != 0) continue;
            while (m_Files[o].Path != New[n].Path)
                o++;
            Handles[d][n] = m_Handles[d][o];
        }
    }
    m_Files = std::move(New);
    m_Handles = std::move(Handles);
    Summary = std::to_string(C.Added.size()) + " added, " + std::to_string(C.Removed.size()) +
              " removed, " + std::to_string(C.Changed.size()) + " changed, " +
              std::to_string(C.Unchanged) + " unchanged";
    return true;
}

void ReloadRecords(CRecordSet& Records, const CRecordSet::LogFn& Log)
{
    if (Records.Dir().empty()) {
        Log("SIGHUP: no --records directory to reload");
        return;
    }
    std::vector<std::string> Errors;
    std::string Summary;
    const bool Ok = Records.Reload(Errors, Summary);
    for (const std::string& Line : Errors)
        Log("reload: " + Line);
    if (Ok)
        Log("reloaded " + Records.Dir() + ": " + Summary);
    else
        Log("reload of " + Records.Dir() + " refused, the records are unchanged");
}

} // namespace kivsdpd
