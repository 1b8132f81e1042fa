#pragma once

/// Profiling hooks around idle waits; they mark the thread idle or running.
void profiler_idle();
void profiler_running();
