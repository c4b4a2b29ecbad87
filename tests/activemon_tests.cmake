# The away timer's tests. Included by tests/CMakeLists.txt.

# Stand-ins for the hook library, each alone in a directory of its own under
# the name the away timer looks for.
foreach(double activemon_double activemon_double_partial)
  add_library(${double} SHARED activemon_double.cpp)
  target_include_directories(${double} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${double} PROPERTIES OUTPUT_NAME ZLMActvHook
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${double}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${double})
  if(WIN32)
    set_target_properties(${double} PROPERTIES PREFIX "")
    target_link_options(${double} PRIVATE -Wl,--kill-at)
  endif()
endforeach()
target_compile_definitions(activemon_double_partial PRIVATE ACTIVEMON_DOUBLE_PARTIAL)

tessaro_test(activemon_tests activemon_test.cpp)
target_link_libraries(activemon_tests PRIVATE tessaro_activemon)
add_dependencies(activemon_tests activemon_double activemon_double_partial ZLMActvHook)

if(NOT WIN32)
  # End to end under a virtual X server of the test's own: the real hook
  # library and the tessaro program.
  tessaro_test(activemon_xvfb_tests activemon_xvfb_test.cpp)
  target_link_libraries(activemon_xvfb_tests PRIVATE tessaro_activemon)
  add_dependencies(activemon_xvfb_tests ZLMActvHook tessaro)
  set_tests_properties(activemon_xvfb_tests PROPERTIES TIMEOUT 180)
endif()
