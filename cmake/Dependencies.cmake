# Imported targets for the system libraries, so that each folder links by name.

find_package(wxWidgets 3.2 REQUIRED COMPONENTS base)
add_library(wx_base INTERFACE)
target_include_directories(wx_base SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(wx_base INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(wx_base INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(wx_base INTERFACE ${wxWidgets_LIBRARIES})

find_package(PkgConfig REQUIRED)
pkg_check_modules(LUA52 REQUIRED IMPORTED_TARGET lua5.2)
# Headers only: a Lua C module takes the Lua API from the process that loads it.
add_library(lua52_headers INTERFACE)
target_include_directories(lua52_headers SYSTEM INTERFACE ${LUA52_INCLUDE_DIRS})

find_package(OpenSSL 3 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
include(GoogleTest)

find_program(LUA52_TOOL NAMES lua5.2 REQUIRED)
find_program(PYTHON3_TOOL python3 REQUIRED)
# Every archive the build makes goes through this one helper, so that it depends only on the
# names and contents of its files.
set(VKA_PACK_ZIP ${PROJECT_SOURCE_DIR}/scripts/pack_zip.py)

# vka_lua_archive(<out folder> <archive> <files...>): packs the files (paths relative to the
# calling folder, kept as entry names) into <out folder>/<archive> with the one helper.
function(vka_lua_archive out archive)
  set(files ${ARGN})
  list(TRANSFORM files PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  add_custom_command(
    OUTPUT ${out}/${archive}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${PYTHON3_TOOL} ${VKA_PACK_ZIP} zip ${out}/${archive} -C ${CMAKE_CURRENT_SOURCE_DIR} ${files}
    DEPENDS ${sources} ${VKA_PACK_ZIP}
    COMMENT "Packing ${archive}"
    VERBATIM)
endfunction()
