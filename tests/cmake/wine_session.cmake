# A whole engine session with the Windows build as a real service under Wine, in a
# prefix of its own (a registered service and its server must not meet other tests).
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET brenmoor-service-fixture)
  add_test(NAME wine_session
    COMMAND bash "${CMAKE_SOURCE_DIR}/tests/scripts/wine_session_test.sh"
            "${CMAKE_BINARY_DIR}/wineprefix-session" "${CMAKE_BINARY_DIR}/bin" "${CMAKE_SOURCE_DIR}")
  set_tests_properties(wine_session PROPERTIES TIMEOUT 600)
endif()
