// Where kivsdpd's sockets live and how it takes a socket path: the rules the daemon, kivsdpctl
// and kivsdp-load share.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kivtool {

// The system daemon's directory, made by root or by the service manager; only root may create
// it, so no other user can put a socket there first.
constexpr const char* SYSTEM_RUN_DIR = "/run/kivsdpd";
// The control socket's name in the run directory.
constexpr const char* CONTROL_SOCKET_NAME = "control";

// The daemon's run directory: SYSTEM_RUN_DIR for root, else $XDG_RUNTIME_DIR/kivsdpd (a
// directory of that user alone). Empty when neither applies (no XDG_RUNTIME_DIR, or a relative
// one).
std::string DefaultRunDir(uid_t Uid, const char* XdgRuntimeDir);

// The control socket a client talks to: Flag when given, else $KIVSDP_CONTROL, else the
// control socket of DefaultRunDir; a user whose own directory holds no control socket gets
// the system daemon's.
std::string ClientControlPath(const std::string& Flag);

// Creates Dir with Mode (its parent must exist), or takes over the one there: it must be a
// directory, not a link, owned by the caller. Its mode is set to Mode and, unless Gid is
// (gid_t)-1, its group to Gid.
bool PrepareRunDir(const std::string& Dir, mode_t Mode, gid_t Gid, std::string& Err);

// Makes Path free to bind: nothing there, or a stale socket (nobody accepts on it) which is
// removed. Refused, with nothing removed: a path that is not a socket, and a socket another
// process still accepts on ("PATH: another kivsdpd is serving it").
bool ClaimSocketPath(const std::string& Path, std::string& Err);

// A bound socket's access: mode 0660 and, unless Gid is (gid_t)-1, group Gid.
bool SetSocketAccess(const std::string& Path, gid_t Gid, std::string& Err);

// The group ID of NAME (a number is taken as it is); false with Err for an unknown group.
bool LookUpGroup(const std::string& Name, gid_t& Gid, std::string& Err);

// The daemon's socket paths, made ready before it binds them.
struct DAEMON_SOCKETS {
    std::string Control;             // empty: the control socket of DefaultRunDir
    std::vector<std::string> Listen; // the --listen paths
    std::string Group;               // --group: of the run directory and the sockets
    gid_t Gid = gid_t(-1);           // out: Group's ID
};
// Resolves the group and the default control path (creating its directory: mode 0750 for
// root or with a group, 0700 otherwise) and claims every path (ClaimSocketPath).
bool PrepareDaemonSockets(DAEMON_SOCKETS& S, std::string& Err);

} // namespace kivtool
