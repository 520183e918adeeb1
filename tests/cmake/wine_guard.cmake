# The bypass route guard under Wine, as a real service: Wine 8's GetBestRoute2 answers
# ERROR_NOT_SUPPORTED, so the run uses the fixture twin whose best-route lookup reads
# netsim's state; a dropped host route and a gateway move must be repaired. A prefix
# of its own, as for the other service runs.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET brenmoor-service-fixture)
  add_test(NAME wine_guard
    COMMAND bash "${CMAKE_SOURCE_DIR}/tests/scripts/wine_guard_test.sh"
            "${CMAKE_BINARY_DIR}/wineprefix-guard" "${CMAKE_BINARY_DIR}/bin" "${CMAKE_SOURCE_DIR}")
  set_tests_properties(wine_guard PROPERTIES TIMEOUT 600)
endif()
