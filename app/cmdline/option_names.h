#pragma once
// Long names of the command-line entries, shared by the grammar and its reader.

namespace VkaCmdLine {

inline constexpr const char kAppName[] = "appname";
inline constexpr const char kBackground[] = "background";
inline constexpr const char kLuaCPath[] = "lua_cpath";
inline constexpr const char kDomainVar[] = "domain_var";
inline constexpr const char kExtDir[] = "extdir";
inline constexpr const char kInstallPlugins[] = "install_plugins";
inline constexpr const char kLuaPath[] = "lua_path";
inline constexpr const char kPlugins[] = "plugins";
inline constexpr const char kTrace[] = "trace";
inline constexpr const char kWorkDir[] = "workdir";
inline constexpr const char kUnitTest[] = "unittest";
inline constexpr const char kTest[] = "test";
inline constexpr const char kZipPath[] = "zippath";

}  // namespace VkaCmdLine
