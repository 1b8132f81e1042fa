#pragma once
// The thread that runs the agent's Lua application.

#include "runnable.h"

/// Runs the application's start-up sequence and Lua methods, then hands the result back to
/// the main thread (or ends the process itself for an application other than the agent).
class CScriptThread : public VkaCore::CRunnable {
public:
    CScriptThread();
    ~CScriptThread() override;
    const char* GetThreadName() const override;
    void OnRun() override;
};

/// Sets the agent process's signal dispositions and blocks SIGINT and SIGTERM for the
/// calling thread.
void InstallAgentSignalDispositions();
