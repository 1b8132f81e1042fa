#pragma once
// The core library's process-wide SQLite set-up.

namespace VkaCore {

class CDom;

/// Process-wide SQLite set-up.
class CSqliteDatabase {
public:
    /// Applies the integer "sqlite.config.*" variables it understands and initialises SQLite.
    static bool InitializeSQLite(CDom* dom);
    /// Shuts SQLite down.
    static void ShutdownSQLite();
};

}  // namespace VkaCore
