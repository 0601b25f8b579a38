// The daemon's socket path rules: what may be at a path before it binds, and its run directory.
#include "runpaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class RunPaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        char Template[] = "/tmp/runpaths-test.XXXXXX";
        ASSERT_NE(mkdtemp(Template), nullptr);
        m_Dir = Template;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + m_Dir + "'").c_str()), 0); }
    // A stale SEQPACKET socket at Path: bound, then closed.
    void BindStale(const std::string& Path)
    {
        int Fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un Addr{};
        Addr.sun_family = AF_UNIX;
        Path.copy(Addr.sun_path, sizeof(Addr.sun_path) - 1);
        ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)), 0);
        close(Fd);
    }
    std::string m_Dir;
};

TEST(RunPathDefaults, RootGetsTheSystemDirectoryOthersTheirRuntimeDirectory)
{
    struct CASE {
        uid_t Uid;
        const char* Xdg;
        const char* Expected;
    } Cases[] = {
        {0, nullptr, "/run/kivsdpd"},
        {0, "/run/user/0", "/run/kivsdpd"},
        {1000, "/run/user/1000", "/run/user/1000/kivsdpd"},
        {1000, nullptr, ""},
        {1000, "", ""},
        {1000, "relative/dir", ""},
    };
    for (const CASE& C : Cases)
        EXPECT_EQ(kivtool::DefaultRunDir(C.Uid, C.Xdg), C.Expected)
            << C.Uid << " " << (C.Xdg ? C.Xdg : "(unset)");
}

TEST(RunPathDefaults, ClientTakesFlagThenEnvironment)
{
    setenv("KIVSDP_CONTROL", "/env/control", 1);
    EXPECT_EQ(kivtool::ClientControlPath("/flag/control"), "/flag/control");
    EXPECT_EQ(kivtool::ClientControlPath(""), "/env/control");
    unsetenv("KIVSDP_CONTROL");
    // No daemon of this user's own: the system daemon's socket.
    setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime-dir", 1);
    EXPECT_EQ(kivtool::ClientControlPath(""), "/run/kivsdpd/control");
}

// A file, a live socket and a stale one are the daemon's (ServiceFixture's
// SocketPathsOfOthersAreNeverTaken); here a directory and a link, which is not followed even to a
// stale socket.
TEST_F(RunPaths, NeitherADirectoryNorALinkToAStaleSocketIsTaken)
{
    const std::string Dir = m_Dir + "/dir", Stale = m_Dir + "/stale", Link = m_Dir + "/link";
    ASSERT_EQ(mkdir(Dir.c_str(), 0700), 0);
    BindStale(Stale);
    ASSERT_EQ(symlink(Stale.c_str(), Link.c_str()), 0);
    for (const std::string& Path : {Dir, Link, Stale}) {
        std::string Err;
        const bool Taken = kivtool::ClaimSocketPath(Path, Err);
        EXPECT_EQ(Taken, Path == Stale) << Path;
        if (!Taken) {
            EXPECT_EQ(Err, Path + ": exists and is not a socket (not removed)");
        }
        struct stat St;
        EXPECT_EQ(lstat(Path.c_str(), &St) == 0, !Taken) << Path;
    }
}

TEST_F(RunPaths, ExistingRunDirectoryGetsItsModeAndMustBeOurs)
{
    // A new one's mode and group, and its sockets', are the daemon's (ServiceFixture's
    // DefaultRunDirectoryIsGroupOnlyAndFoundByTheClient); here one that exists is taken over,
    // with its mode set again.
    const std::string Run = m_Dir + "/run";
    std::string Err;
    ASSERT_EQ(mkdir(Run.c_str(), 0777), 0);
    ASSERT_EQ(chmod(Run.c_str(), 0777), 0);
    ASSERT_TRUE(kivtool::PrepareRunDir(Run, 0700, gid_t(-1), Err)) << Err;
    struct stat St;
    ASSERT_EQ(lstat(Run.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0700u);
    // A link or a file in its place is refused.
    const std::string Link = m_Dir + "/link", File = m_Dir + "/file";
    ASSERT_EQ(symlink(Run.c_str(), Link.c_str()), 0);
    std::ofstream(File) << "x";
    EXPECT_FALSE(kivtool::PrepareRunDir(Link, 0750, gid_t(-1), Err));
    EXPECT_NE(Err.find("not a directory"), std::string::npos) << Err;
    EXPECT_FALSE(kivtool::PrepareRunDir(File, 0750, gid_t(-1), Err));
    // A directory of another user is not ours to take.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(Run.c_str(), 4242, uid_t(-1)), 0);
        EXPECT_FALSE(kivtool::PrepareRunDir(Run, 0750, gid_t(-1), Err));
        EXPECT_NE(Err.find("owned by uid 4242"), std::string::npos) << Err;
        ASSERT_EQ(chown(Run.c_str(), 0, uid_t(-1)), 0);
    }
}

} // namespace
