# What a local user could prepare against the service, tried on the Windows build as
# a real service under Wine: a log folder made in advance as a link, a hard-linked log
# file, and a cleanup that fails (the process must still end in STOPPED). A prefix of
# its own: a registered service and its server must not meet other tests.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  add_test(NAME wine_hardening
    COMMAND bash "${CMAKE_SOURCE_DIR}/tests/scripts/wine_hardening_test.sh"
            "${CMAKE_BINARY_DIR}/wineprefix-hardening"
            $<TARGET_FILE:th_service_host> $<TARGET_FILE:th_pipe_client> $<TARGET_FILE:th_service_probe_win>)
  set_tests_properties(wine_hardening PROPERTIES TIMEOUT 600)
endif()
