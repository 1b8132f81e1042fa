// The vendor folder rule and the run-time format of the exit line.
#include "agent_app_helpers.h"

#include <gtest/gtest.h>

namespace {

wxString VendorOf(const char* exeDir)
{
    return VendorFolder(wxFileName::DirName(exeDir));
}

TEST(VendorFolder, ParentWhenItsPathNamesTheVendorElseTheExecutableFolder)
{
    EXPECT_EQ(VendorOf("/opt/Corvane/agent/bin"), "/opt/Corvane/agent");
    EXPECT_EQ(VendorOf("/opt/MyCorvaneStuff/bin"), "/opt/MyCorvaneStuff");
    EXPECT_EQ(VendorOf("/usr/local/bin"), "/usr/local/bin");
    // Case matters, and the executable's own folder name does not count.
    EXPECT_EQ(VendorOf("/opt/corvane/bin"), "/opt/corvane/bin");
    EXPECT_EQ(VendorOf("/opt/Corvane"), "/opt/Corvane");
    EXPECT_EQ(VendorOf("/Corvane/bin"), "/Corvane");
}

TEST(VendorFolder, OneComponentOrNoneIsTheExecutableFolder)
{
    EXPECT_EQ(VendorOf("/opt"), "/opt");
    EXPECT_EQ(VendorOf("/"), wxFileName::DirName("/").GetPath(wxPATH_GET_VOLUME));
}

TEST(RunTime, DaysUnpaddedThenTheRemainderAsClockTimeWithMilliseconds)
{
    EXPECT_EQ(FormatRunTime(wxTimeSpan(26, 3, 4, 5)), "1d 02:03:04.005");
    EXPECT_EQ(FormatRunTime(wxTimeSpan(1, 2, 3, 456)), "0d 01:02:03.456");
    EXPECT_EQ(FormatRunTime(wxTimeSpan(0, 0, 0, 0)), "0d 00:00:00.000");
    EXPECT_EQ(FormatRunTime(wxTimeSpan::Days(12) + wxTimeSpan(23, 59, 59, 999)), "12d 23:59:59.999");
}

}  // namespace
