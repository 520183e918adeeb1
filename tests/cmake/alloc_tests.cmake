# The allocation tests replace the global operator new and delete, so they get a
# binary of their own: released memory searched for secrets, allocation failures
# injected into the lifecycle paths.
file(GLOB _alloc_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/alloc/*.cpp")
add_executable(brenmoor_alloc_tests ${_alloc_sources} "${CMAKE_CURRENT_SOURCE_DIR}/support/test_support.cpp")
target_include_directories(brenmoor_alloc_tests PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(brenmoor_alloc_tests PRIVATE brenmoor_core ${BRENMOOR_GTEST_LIBS})
if(WIN32)
  add_test(NAME alloc_tests COMMAND brenmoor_alloc_tests)
  set_tests_properties(alloc_tests PROPERTIES TIMEOUT 300)
else()
  gtest_discover_tests(brenmoor_alloc_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()
