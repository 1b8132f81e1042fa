// Pid files: format, validation, and the lock that tells a live daemon from a reused pid.

#include "pid_file.h"

#include "service_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>

using namespace VkaCore;
using VkaTest::ReadFile;
using VkaTest::TempDir;

namespace {

// Whether another process sees a write lock on path (the owner itself cannot tell).
bool LockedSeenFromChild(const std::string& path)
{
    pid_t child = fork();
    if (child == 0) {
        int fd = open(path.c_str(), O_RDONLY);
        struct flock probe;
        memset(&probe, 0, sizeof probe);
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        bool locked = fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
        _exit(locked ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

pid_t DeadPid()
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status;
    waitpid(child, &status, 0);
    return child;
}

TEST(PidFileTest, WrittenFileHoldsPidAndNewlineWithMode0644AndStaysLocked)
{
    TempDir dir;
    const std::string path = dir / "agent.pid";
    ASSERT_TRUE(WritePidFile(path));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // Reading our own file must not release our lock.
    EXPECT_EQ(ReadPidFile(path), getpid());
    EXPECT_EQ(ReadPidFile(path), getpid());
    EXPECT_TRUE(LockedSeenFromChild(path));

    // Last: any other open and close of the file in this process drops the lock.
    EXPECT_EQ(ReadFile(path), std::to_string(getpid()) + "\n");

    // Only the pid file remains in the folder (the temporary name is gone).
    int entries = 0;
    if (DIR* d = opendir(dir.path().c_str())) {
        while (dirent* e = readdir(d))
            entries += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
        closedir(d);
    }
    EXPECT_EQ(entries, 1);
}

TEST(PidFileTest, MissingOrMalformedFilesReadAsZero)
{
    TempDir dir;
    const std::string path = dir / "x.pid";
    EXPECT_EQ(ReadPidFile(path), 0);
    const pid_t dead = DeadPid();
    for (const std::string& content : {std::string(""), std::string("\n"), std::string("abc\n"), std::string("-5\n"),
                                       std::string("0\n"), std::to_string(dead) + "x\n", std::string("99999999999\n"),
                                       std::string(" 12\n"), std::to_string(dead) + "\n5\n"}) {
        VkaTest::WriteFile(path, content);
        EXPECT_EQ(ReadPidFile(path), 0) << "content: " << content;
    }
    VkaTest::WriteFile(path, std::to_string(dead));
    EXPECT_EQ(ReadPidFile(path), dead) << "a missing final newline is tolerated";
}

TEST(PidFileTest, UnlockedFileNamingALiveProcessIsStaleButADeadPidIsReported)
{
    TempDir dir;
    const std::string path = dir / "stale.pid";
    // As after a supervisor killed by SIGKILL whose pid went to another process.
    VkaTest::WriteFile(path, std::to_string(getpid()) + "\n");
    EXPECT_EQ(ReadPidFile(path), 0);

    const pid_t dead = DeadPid();
    VkaTest::WriteFile(path, std::to_string(dead) + "\n");
    EXPECT_EQ(ReadPidFile(path), dead);
}

TEST(PidFileTest, FileLockedByAnotherProcessGivesItsPidUntilThatProcessDies)
{
    TempDir dir;
    const std::string path = dir / "daemon.pid";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char ok = WritePidFile(path) ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        for (;;)
            pause();
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(ReadPidFile(path), child);

    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    // The writer is gone and its pid is free: the file still names it.
    EXPECT_EQ(ReadPidFile(path), child);
    close(ready[0]);
    close(ready[1]);
}

}  // namespace
