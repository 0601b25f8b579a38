// Run directory and socket path rules (see runpaths.h).

#include "runpaths.h"

#include "unixsocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kivtool {

std::string DefaultRunDir(uid_t Uid, const char* XdgRuntimeDir)
{
    if (Uid == 0) return SYSTEM_RUN_DIR;
    if (XdgRuntimeDir == nullptr || XdgRuntimeDir[0] != '/') return "";
    return std::string(XdgRuntimeDir) + "/kivsdpd";
}

std::string ClientControlPath(const std::string& Flag)
{
    if (!Flag.empty()) return Flag;
    const char* Env = getenv("KIVSDP_CONTROL");
    if (Env != nullptr && *Env) return Env;
    const std::string System = std::string(SYSTEM_RUN_DIR) + "/" + CONTROL_SOCKET_NAME;
    const std::string Own = DefaultRunDir(getuid(), getenv("XDG_RUNTIME_DIR"));
    if (Own.empty()) return System;
    const std::string Path = Own + "/" + CONTROL_SOCKET_NAME;
    struct stat St;
    return lstat(Path.c_str(), &St) == 0 && S_ISSOCK(St.st_mode) ? Path : System;
}

bool PrepareRunDir(const std::string& Dir, mode_t Mode, gid_t Gid, std::string& Err)
{
    if (mkdir(Dir.c_str(), Mode) != 0 && errno != EEXIST) {
        Err = "cannot create " + Dir + ": " + strerror(errno);
        return false;
    }
    struct stat St;
    if (lstat(Dir.c_str(), &St) != 0) {
        Err = Dir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(St.st_mode)) {
        Err = Dir + ": not a directory";
        return false;
    }
    if (St.st_uid != geteuid()) {
        Err = Dir + ": owned by uid " + std::to_string(St.st_uid) + ", not by this user";
        return false;
    }
    if ((Gid != gid_t(-1) && St.st_gid != Gid && chown(Dir.c_str(), uid_t(-1), Gid) != 0) ||
        chmod(Dir.c_str(), Mode) != 0) {
        Err = Dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool ClaimSocketPath(const std::string& Path, std::string& Err)
{
    struct stat St;
    if (lstat(Path.c_str(), &St) != 0) {
        if (errno == ENOENT) return true;
        Err = Path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISSOCK(St.st_mode)) {
        Err = Path + ": exists and is not a socket (not removed)";
        return false;
    }
    int Fd = ConnectSeqpacket(Path);
    if (Fd >= 0) {
        close(Fd);
        Err = Path + ": another kivsdpd is serving it";
        return false;
    }
    // A socket of another type still has a process behind it.
    if (errno == EPROTOTYPE) {
        Err = Path + ": another process is serving it";
        return false;
    }
    if (errno != ECONNREFUSED) {
        Err = Path + ": " + strerror(errno);
        return false;
    }
    if (unlink(Path.c_str()) != 0 && errno != ENOENT) {
        Err = "cannot remove the stale socket " + Path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool SetSocketAccess(const std::string& Path, gid_t Gid, std::string& Err)
{
    if (chmod(Path.c_str(), 0660) != 0 ||
        (Gid != gid_t(-1) && chown(Path.c_str(), uid_t(-1), Gid) != 0)) {
        Err = Path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool LookUpGroup(const std::string& Name, gid_t& Gid, std::string& Err)
{
    std::vector<char> Buffer(16384);
    group G, *Found = nullptr;
    int Error = getgrnam_r(Name.c_str(), &G, Buffer.data(), Buffer.size(), &Found);
    if (Found != nullptr) {
        Gid = G.gr_gid;
        return true;
    }
    char* End = nullptr;
    unsigned long n = strtoul(Name.c_str(), &End, 10);
    if (!Name.empty() && *End == '\0' && Name[0] != '-' && n < 0xFFFFFFFFul) {
        Gid = gid_t(n);
        return true;
    }
    Err = "--group: no group '" + Name + "'" + (Error ? std::string(": ") + strerror(Error) : "");
    return false;
}

bool PrepareDaemonSockets(DAEMON_SOCKETS& S, std::string& Err)
{
    if (!S.Group.empty() && !LookUpGroup(S.Group, S.Gid, Err)) return false;
    if (S.Control.empty()) {
        const uid_t Uid = geteuid();
        const std::string Dir = DefaultRunDir(Uid, getenv("XDG_RUNTIME_DIR"));
        if (Dir.empty()) {
            Err = "no XDG_RUNTIME_DIR for the control socket: give --control PATH";
            return false;
        }
        const mode_t Mode = Uid == 0 || !S.Group.empty() ? 0750 : 0700;
        if (!PrepareRunDir(Dir, Mode, S.Gid, Err)) return false;
        S.Control = Dir + "/" + CONTROL_SOCKET_NAME;
    }
    if (!ClaimSocketPath(S.Control, Err)) return false;
    for (const std::string& Path : S.Listen)
        if (!ClaimSocketPath(Path, Err)) return false;
    return true;
}

} // namespace kivtool
