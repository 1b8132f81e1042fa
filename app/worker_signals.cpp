// The worker's signals: the agent's handler and dispositions, the stop signals, the wait for a
// stop request and the one-stop claim.
#include "worker_signals.h"

#include "runnable.h"

#include <wx/log.h>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

volatile sig_atomic_t g_last_signal = 0;

namespace {

enum StopClaim { kNoStop, kStopTaken, kSupervisorEndClaimed, kSupervisorEndSent };
std::atomic<int> s_stopClaim{kNoStop};

void setDisposition(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

sigset_t makeStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void VkaSignalHandler(int sig)
{
    g_last_signal = sig;
    // Reached for SIGINT/SIGTERM only once they are unblocked after a daemon worker's wait:
    // a second stop request ends the process at once.
    if (sig == SIGTERM || sig == SIGINT)
        _exit(0);
}

const sigset_t& StopSignals()
{
    static const sigset_t set = makeStopSignals();
    return set;
}

void BlockStopSignals()
{
    sigprocmask(SIG_BLOCK, &StopSignals(), nullptr);
}

void InstallAgentSignalDispositions()
{
    setDisposition(SIGINT, VkaSignalHandler, SA_RESTART);
    setDisposition(SIGTERM, VkaSignalHandler, SA_RESTART);
    setDisposition(SIGUSR1, VkaSignalHandler, SA_RESTART);
    setDisposition(SIGUSR2, VkaSignalHandler, SA_RESTART);
    setDisposition(VkaCore::CRunnable::SigThreadDelete(), VkaSignalHandler, 0);
    setDisposition(SIGHUP, SIG_IGN, SA_RESTART);

    pthread_sigmask(SIG_BLOCK, &StopSignals(), nullptr);

    // No restart: a blocking call in the thread that takes the alarm fails with EINTR.
    setDisposition(SIGALRM, VkaSignalHandler, 0);
    setDisposition(SIGPIPE, SIG_IGN, SA_RESTART);
}

void TakeStopRequest()
{
    int sig = 0;
    const int err = sigwait(&StopSignals(), &sig);
    if (err != 0)
        wxLogSysError(err, "sigwait");
    else
        wxLogWarning("sigwait(): caught signal %d", sig);

    // The supervisor's end and its forwarded stop may both have asked: the one left pending
    // is the same request, not a second one.
    if (NoteStopTaken()) {
        const timespec now = {0, 0};
        while (sigtimedwait(&StopSignals(), nullptr, &now) > 0) {
        }
    }
}

bool ClaimStopForSupervisorEnd()
{
    int expected = kNoStop;
    return s_stopClaim.compare_exchange_strong(expected, kSupervisorEndClaimed);
}

void NoteStopSentForSupervisorEnd()
{
    s_stopClaim.store(kSupervisorEndSent);
}

bool NoteStopTaken()
{
    int expected = kNoStop;
    if (s_stopClaim.compare_exchange_strong(expected, kStopTaken))
        return false;
    // The supervisor's end claimed the stop: its request is pending once kill() has returned,
    // which is a matter of microseconds.
    while (s_stopClaim.load() != kSupervisorEndSent)
        sched_yield();
    return true;
}
