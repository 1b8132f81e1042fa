# Lua tests of the module "update" against the relay double. LD_LIBRARY_PATH comes before the
# module's RUNPATH, so the double stands in for the relay library.
if(TARGET update AND TARGET kvtrelay_double)
  add_test(NAME lua.update_module
    COMMAND ${CMAKE_COMMAND} -E env
      "LUA_CPATH=$<TARGET_FILE_DIR:update>/?.so;$<TARGET_FILE_DIR:kvtrelay_control>/?.so"
      "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:kvtrelay_double>"
      ${LUA52_TOOL} ${CMAKE_CURRENT_SOURCE_DIR}/update_module_test.lua)
  set_tests_properties(lua.update_module PROPERTIES LABELS "lua")
endif()
