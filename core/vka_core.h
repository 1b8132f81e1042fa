#pragma once
// Everything the host uses of the core services library.

#include "agent_event.h"
#include "clock.h"
#include "crash_handler.h"
#include "dom.h"
#include "dom_binding.h"
#include "execute.h"
#include "log2disk.h"
#include "lua_interpreter.h"
#include "openssl_threads.h"
#include "pid_file.h"
#include "profiler.h"
#include "runnable.h"
#include "secure_file.h"
#include "sqlite_database.h"
#include "trace.h"
#include "unzip.h"
