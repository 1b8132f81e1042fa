# The sample agent's unit-test runner, run by a plain Lua interpreter.
add_test(NAME lua.vkaunit
  COMMAND ${CMAKE_COMMAND} -E env
          "LUA_PATH=${PROJECT_SOURCE_DIR}/examples/sample_agent/?.lua;;"
          "VKAUNIT_TMP=${CMAKE_CURRENT_BINARY_DIR}/vkaunit_tmp"
          ${LUA52_TOOL} ${CMAKE_CURRENT_SOURCE_DIR}/vkaunit_test.lua)
set_tests_properties(lua.vkaunit PROPERTIES LABELS "lua" TIMEOUT 120)
