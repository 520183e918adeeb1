# Crash recovery with the Windows build as a real service under Wine: killed hard
# during a session, started again with `sc start`, in a prefix of its own.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET brenmoor-service-fixture)
  add_test(NAME wine_recovery
    COMMAND bash "${CMAKE_SOURCE_DIR}/tests/scripts/wine_recovery_test.sh"
            "${CMAKE_BINARY_DIR}/wineprefix-recovery" "${CMAKE_BINARY_DIR}/bin" "${CMAKE_SOURCE_DIR}")
  set_tests_properties(wine_recovery PROPERTIES TIMEOUT 600)
endif()
