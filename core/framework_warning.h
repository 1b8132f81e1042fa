#pragma once
// A warning for the framework's log from a library that does not link the framework: the relay
// library (platform/kvtrelay/package_export.cpp) declares this weak, so that loading it never
// costs the framework's start-up, and writes to standard error itself in a process without the
// core library. Defined beside the disk log (platform/vka_core/log2disk.cpp).

extern "C" {

/// Logs utf8Text (other bytes are taken as Latin-1) at warning level through the framework.
void VkaCoreLogWarning(const char* utf8Text);
}
