#pragma once
// The core version against which plugin packages and extensions are admitted: the first three
// numbers of the application version. Build numbers are never compared.

constexpr int kCoreVersionMajor = 10;
constexpr int kCoreVersionMinor = 0;
constexpr int kCoreVersionPatch = 0;
