#pragma once
// A daemon worker's stop: the thread that takes its stop requests, the grace period after which
// Lua code still running is interrupted, and the limit after which the worker ends itself.

struct lua_State;

/// How long a stop request may take. Tests shorten both through VKA_STOP_GRACE_MS and
/// VKA_STOP_LIMIT_MS; nothing else should.
struct StopLimits {
    /// Milliseconds after a stop request at which Lua code still running in init or main is
    /// interrupted.
    int graceMs = 10000;
    /// Milliseconds after a stop request at which a worker still alive ends itself.
    int limitMs = 30000;
};

/// The limits in force (the defaults unless the environment shortens them).
StopLimits CurrentStopLimits();

/// Starts the thread that takes a daemon worker's stop requests; called on the main thread
/// with the stop signals blocked, before the script thread starts. false (logged) when it could
/// not be started: the script thread then takes the request itself after main, as a
/// foreground-style wait with no grace period or limit.
bool StartStopWatcher();

/// Script thread: Lua code of L is about to run that a stop request may interrupt (init, main).
void EnterInterruptibleLua(lua_State* L);
/// Script thread: no more interrupting (before shutdown); clears a hook that was set but had not
/// fired yet.
void LeaveInterruptibleLua();
/// Script thread, once main has returned 0: waits until a stop request has been taken.
void AwaitStopRequest();
/// True when a stop request interrupted running Lua code with an error.
bool LuaWasInterrupted();
