// Execute: output collection, the failure texts, and no zombies even with SIGCHLD blocked.

#include "execute.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include <sys/wait.h>

using namespace VkaCore;

namespace {

bool Shell(const char* script, wxString& out, int& code, wxString& err)
{
    wxArrayString args;
    args.Add("-c");
    args.Add(script);
    return Execute("/bin/sh", args, out, code, err);
}

bool NoChildLeft()
{
    int status;
    return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(ExecuteTest, CollectsStandardOutputAndErrorOfASuccessfulRun)
{
    wxString out, err;
    int code = -5;
    ASSERT_TRUE(Shell("echo to-out; echo to-err >&2", out, code, err));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(err.empty());
    EXPECT_NE(out.Find("to-out"), wxNOT_FOUND);
    EXPECT_NE(out.Find("to-err"), wxNOT_FOUND);
    EXPECT_TRUE(NoChildLeft());
}

TEST(ExecuteTest, ArgumentsArePassedWithoutAShell)
{
    wxString out, err;
    int code = -1;
    wxArrayString args;
    args.Add("a b");
    args.Add("$HOME;*");
    ASSERT_TRUE(Execute("/bin/echo", args, out, code, err));
    EXPECT_EQ(out, "a b $HOME;*\n");
}

TEST(ExecuteTest, FailuresSayWhatHappened)
{
    wxString out, err;
    int code = 0;
    EXPECT_FALSE(Shell("echo partial; exit 3", out, code, err));
    EXPECT_EQ(err, "exit status 3");
    EXPECT_EQ(code, 3);
    EXPECT_NE(out.Find("partial"), wxNOT_FOUND);

    EXPECT_FALSE(Shell("kill -9 $$", out, code, err));
    EXPECT_EQ(err, "killed by signal 9");

    EXPECT_FALSE(Execute("/nonexistent/vka-program", wxArrayString(), out, code, err));
    EXPECT_EQ(err, "not found");
    EXPECT_TRUE(NoChildLeft());
}

TEST(ExecuteTest, WorksWithSigchldBlockedAndStartsTheChildUnblocked)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);

    wxString out, err;
    int code = -1;
    // The child must see an empty mask: SigBlk of its own status line is all zeros.
    bool ok = Shell("grep SigBlk /proc/self/status || echo SigBlk: 0000000000000000", out, code, err);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(ok) << err;
    EXPECT_NE(out.Find("0000000000000000"), wxNOT_FOUND) << out;
    EXPECT_TRUE(NoChildLeft());
}

TEST(ExecuteTest, ReturnsWhenTheProgramEndsEvenIfAGrandchildHoldsTheOutput)
{
    wxString out, err;
    int code = -1;
    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(Shell("sleep 5 & echo started", out, code, err));
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_NE(out.Find("started"), wxNOT_FOUND);
}

}  // namespace
