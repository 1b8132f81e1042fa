#pragma once
/// POSIX record locks on a whole file: what keeps processes that share a folder apart. They
/// end with their holder, so a killed process never leaves a lock behind.

namespace fdio {

/// Sets a record lock on the whole of fd without waiting (shared for readers, exclusive for a
/// writer): 0, or the error number (EAGAIN or EACCES while another process holds it).
int LockRecord(int fd, bool writer);

/// True for the answers of LockRecord that mean "held by another process, try again".
bool LockHeldElsewhere(int err);

/// LockRecord, tried again until timeoutSeconds have passed: 0, EAGAIN at the timeout, or the
/// error number of a file system without record locks.
int WaitForRecordLock(int fd, bool writer, int timeoutSeconds);

}  // namespace fdio
