#pragma once
// The thread that runs the agent's Lua application.

#include "runnable.h"

#include <memory>
#include <mutex>

class wxEventLoopSource;
class wxEventLoopSourceHandler;

/// The script thread's result on its way to the main thread's event loop. The main thread
/// owns every decision about the loop: the script thread only stores its result under a mutex
/// and writes one byte to a pipe that the framework's descriptor dispatcher watches, so it
/// never touches a loop that may already be gone, and a result posted before the loop runs is
/// still there when it does. The pipe lives as long as this object, which outlives the script
/// thread.
class CHandBack {
public:
    CHandBack() = default;
    ~CHandBack();
    CHandBack(const CHandBack&) = delete;
    CHandBack& operator=(const CHandBack&) = delete;

    /// Main thread, before the script thread starts and before the loop runs: creates the pipe
    /// and has the framework watch it. A result posted before the loop runs waits in the pipe,
    /// so the loop, once it runs, ends at once. false (errno kept) when that fails.
    bool Open();
    /// Script thread: hands result over; never blocks.
    void Post(int result);
    /// Main thread, from the loop: when a result was posted and not yet taken, takes it into
    /// *result.
    bool Take(int* result);
    /// Main thread, once the loop has ended: the pipe is no longer watched, and a later Post
    /// stores its result only.
    void Close();

private:
    std::mutex m_mutex;
    int m_result = 0;
    bool m_posted = false;
    bool m_settled = false;  // taken by the loop, or the loop is gone
    int m_fds[2] = {-1, -1};
    std::unique_ptr<wxEventLoopSourceHandler> m_handler;
    wxEventLoopSource* m_source = nullptr;
};

/// Runs the application's start-up sequence and Lua methods, then hands the result back to
/// the main thread (or ends the process itself for an application other than the agent).
class CScriptThread : public VkaCore::CRunnable {
public:
    CScriptThread();
    ~CScriptThread() override;
    const char* GetThreadName() const override;
    void OnRun() override;

    /// Where the result goes; set up by the main thread before start().
    CHandBack& HandBack() { return m_handBack; }

private:
    CHandBack m_handBack;
};

