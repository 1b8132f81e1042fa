#pragma once
/// POSIX record locks on a whole file: what keeps processes that share a folder apart. They
/// end with their holder, so a killed process never leaves a lock behind.

#include <sys/types.h>

namespace fdio {

/// Sets a record lock on length bytes of fd from start (0: to the end, so the whole file from
/// 0) without waiting, shared for readers, exclusive for a writer: 0, or the error number
/// (EAGAIN or EACCES while another process holds it). Locks of one process never conflict.
int LockRecord(int fd, bool writer, off_t start = 0, off_t length = 0);

/// The pid of a process whose lock on fd keeps a writer's whole-file lock out: 0 when there is
/// none, -1 when the question failed.
pid_t LockHolder(int fd);

/// Drops this process's record lock on those bytes.
void UnlockRecord(int fd, off_t start, off_t length);

/// True for the answers of LockRecord that mean "held by another process, try again".
bool LockHeldElsewhere(int err);

/// LockRecord, tried again until timeoutSeconds have passed: 0, EAGAIN at the timeout, or the
/// error number of a file system without record locks.
int WaitForRecordLock(int fd, bool writer, int timeoutSeconds);

}  // namespace fdio
