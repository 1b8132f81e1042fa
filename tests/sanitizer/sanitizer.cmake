# Test set-up for the sanitizer build (VKA_SANITIZE). Instrumented Lua modules are loaded into
# the system's uninstrumented lua5.2, which then needs the sanitizer runtimes preloaded. A wrapper
# named lua5.2 does that; LUA52_TOOL points at it for the tests below tests/, and
# VKA_SANITIZER_BIN is the folder that end-to-end tests put first in PATH.
if(NOT VKA_SANITIZE)
  return()
endif()

set(VKA_SANITIZER_RUNTIMES "")
foreach(runtime libasan.so libubsan.so)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "sanitizer runtime ${runtime} not found (${CMAKE_CXX_COMPILER} -print-file-name)")
  endif()
  string(APPEND VKA_SANITIZER_RUNTIMES ":${path}")
endforeach()
string(SUBSTRING "${VKA_SANITIZER_RUNTIMES}" 1 -1 VKA_SANITIZER_RUNTIMES)

# The interpreter found at configure time (the cache entry, which the wrapper does not replace).
set(VKA_REAL_LUA52 $CACHE{LUA52_TOOL})
set(VKA_SANITIZER_BIN ${PROJECT_BINARY_DIR}/sanitizer-bin)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lua5.2.in ${VKA_SANITIZER_BIN}/lua5.2 @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(LUA52_TOOL ${VKA_SANITIZER_BIN}/lua5.2)
