# Lua tests of the module "update" against the relay double. LD_LIBRARY_PATH comes before the
# module's RUNPATH, so the double stands in for the relay library.
add_test(NAME lua.update_module
  COMMAND ${CMAKE_COMMAND} -E env
    "LUA_CPATH=$<TARGET_FILE_DIR:update>/?.so;$<TARGET_FILE_DIR:kvtrelay_control>/?.so"
    "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:kvtrelay_double>"
    ${LUA52_TOOL} ${CMAKE_CURRENT_SOURCE_DIR}/update_module_test.lua)
set_tests_properties(lua.update_module PROPERTIES LABELS "lua")

# The same tests under valgrind: any C buffer the module fails to free is a definite leak.
# Valgrind cannot run instrumented code; in the sanitizer build the leak checker does this job.
find_program(VALGRIND_TOOL valgrind)
if(VALGRIND_TOOL AND NOT VKA_SANITIZE)
  add_test(NAME lua.update_module_memcheck
    COMMAND ${CMAKE_COMMAND} -E env
      "LUA_CPATH=$<TARGET_FILE_DIR:update>/?.so;$<TARGET_FILE_DIR:kvtrelay_control>/?.so"
      "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:kvtrelay_double>"
      ${VALGRIND_TOOL} --quiet --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9
      ${LUA52_TOOL} ${CMAKE_CURRENT_SOURCE_DIR}/update_module_test.lua)
  set_tests_properties(lua.update_module_memcheck PROPERTIES LABELS "lua;slow" TIMEOUT 300)
endif()
