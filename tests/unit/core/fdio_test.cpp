// The descriptor helpers every library opens and makes files with, over each kind of file that
// may stand where a regular file or a folder is expected.

#include "folders.h"
#include "regular_file.h"

#include "service_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(FdioTest, RegularFilesOpenAndEverythingElseIsToldApartWithoutBlocking)
{
    VkaTest::TempDir dir;
    VkaTest::WriteFile(dir / "file", "data");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    struct Case {
        const char* name;
        int flags;
        fdio::OpenResult result;
        mode_t kind;  // what st says stands there; 0 when nothing does
    };
    const Case cases[] = {
        {"file", 0, fdio::OpenResult::Opened, S_IFREG},
        {"fifo", 0, fdio::OpenResult::NotRegular, S_IFIFO},  // a writer never comes: must not wait
        {"folder", 0, fdio::OpenResult::NotRegular, S_IFDIR},
        {"link", 0, fdio::OpenResult::Opened, S_IFREG},
        {"link", O_NOFOLLOW, fdio::OpenResult::NotRegular, S_IFLNK},
        {"missing", 0, fdio::OpenResult::Failed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.flags ? " O_NOFOLLOW" : ""));
        int fd = -1;
        struct stat st;
        st.st_mode = 0;
        EXPECT_EQ(fdio::OpenRegularFile(dir / c.name, fd, st, c.flags), c.result);
        if (c.kind != 0)
            EXPECT_EQ(st.st_mode & S_IFMT, c.kind);
        else
            EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(fd >= 0, c.result == fdio::OpenResult::Opened);
        if (fd >= 0) {
            EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // its reader may block again
            ::close(fd);
        }
    }

    // Folders: a whole path made at once, a file in the way refused by name of the error, and a
    // folder that exists already is kept as it is.
    fdio::CFolderMaker maker(0700, true);
    EXPECT_EQ(maker.Make(dir / "a/b/c"), 0);
    EXPECT_TRUE(fdio::IsFolder(dir / "a/b/c"));
    struct stat st;
    ASSERT_EQ(::stat((dir / "a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(maker.Make(dir / "file/sub"), ENOTDIR);
    EXPECT_EQ(maker.Make(dir / "fifo"), ENOTDIR);
    ::chmod((dir / "folder").c_str(), 0750);
    EXPECT_EQ(fdio::MakeFolders(dir / "folder/new", 0777), 0);
    ASSERT_EQ(::stat((dir / "folder").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_EQ(fdio::MakeFolders("", 0777), ENOENT);
}

}  // namespace
