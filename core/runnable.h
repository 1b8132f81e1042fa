#pragma once
// Thread base class of the core library.

#include <wx/thread.h>

#include <atomic>
#include <memory>
#include <mutex>

class wxLog;

namespace VkaCore {

class CDom;

/// A joinable framework thread whose body is the virtual OnRun(). Messages the thread logs go
/// straight to the disk log, not through the main thread's queue.
class CRunnable : public wxThread {
public:
    /// detached is reserved (threads are joinable); id names the thread (-1 none); flag reserved.
    CRunnable(bool detached, int id, bool flag);
    ~CRunnable() override;

    bool TestDestroy() override;
    ExitCode Entry() override;
    void OnDelete() override;
    void OnKill() override;
    void OnExit() override;
    virtual void Delete();
    virtual const char* GetThreadName() const;
    virtual void Awaken();
    /// Sends SigThreadDelete() to the thread, interrupting a blocking call.
    virtual void interrupt();
    /// Asks the thread to end; TestDestroy() then returns true.
    virtual void requestExit();
    /// Waits up to ms for an exit request or Awaken(); true when exit was requested.
    virtual bool TestDestroy(unsigned int ms, bool* awakened);
    /// The thread body.
    virtual void OnRun() = 0;

    /// Creates and runs the thread (priority 0..100, joinable reserved, stack size 0 default).
    /// 0 on success.
    int start(int priority, bool joinable, unsigned int stackSize);
    /// Waits for the thread to end.
    void join();
    void SetDom(CDom* dom) { m_dom = dom; }
    CDom* GetDom() const { return m_dom; }

    /// The signal used to interrupt a thread being deleted.
    static int SigThreadDelete();

private:
    CDom* m_dom = nullptr;
    std::atomic<bool> m_exitRequested{false};
    std::atomic<bool> m_awakened{false};
    wxMutex m_wakeMutex;
    wxCondition m_wake;
    std::unique_ptr<wxLog> m_threadLog;
    pthread_t m_handle{};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_joined{false};
    std::mutex m_joinMutex;
};

}  // namespace VkaCore
