# The service under Wine as a real Windows service (sc create/start/query/stop, the
# status records, the identity check of installed and misplaced clients). It has a
# prefix of its own: a registered service and a persistent wineserver must not meet
# the unit tests' prefix.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  add_test(NAME wine_service
    COMMAND bash "${CMAKE_SOURCE_DIR}/tests/scripts/wine_service_test.sh"
            "${CMAKE_BINARY_DIR}/wineprefix-service"
            $<TARGET_FILE:th_service_host> $<TARGET_FILE:th_pipe_client> $<TARGET_FILE:th_service_probe_win>
            $<TARGET_FILE:brenmoor-service>)
  set_tests_properties(wine_service PROPERTIES TIMEOUT 600)
endif()
