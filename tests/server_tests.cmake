# The server's resources and, on Windows, the shipped ZLMTessaro.dll under
# Wine: what it carries, its registration by regsvr32 per machine and per
# user, and the controls scripted by Wine's cscript. Included by
# tests/CMakeLists.txt. The tests that register the module hold the
# "wineregistry" lock and leave the prefix's registry as they found it.
if(NOT WIN32)
  # The registry scripts embedded in every program that links the server.
  tessaro_test(embedded_scripts_tests embedded_scripts_test.cpp)
  target_link_libraries(embedded_scripts_tests PRIVATE tessaro_server)
  target_compile_definitions(embedded_scripts_tests PRIVATE
    TESSARO_SCRIPTS_DIR="${PROJECT_SOURCE_DIR}/module/scripts")
  return()
endif()
if(NOT TARGET ZLMTessaro)
  return()
endif()

add_library(tessaro_server_support STATIC server_support.cpp)
target_link_libraries(tessaro_server_support PUBLIC tessaro_calpresence tessaro_activemon tessaro_mapisearch)

tessaro_test(server_dll_tests server_dll_test.cpp)
tessaro_test(server_registration_tests server_registration_test.cpp)
tessaro_test(server_scripting_tests server_scripting_test.cpp)
foreach(test server_dll_tests server_registration_tests server_scripting_tests)
  target_link_libraries(${test} PRIVATE tessaro_server_support ole32 oleaut32 uuid version)
  add_dependencies(${test} ZLMTessaro)
  set_tests_properties(${test} PROPERTIES ENVIRONMENT
    "TESSARO_SERVER_DLL=$<TARGET_FILE:ZLMTessaro>;TESSARO_SCRIPTS_DIR=${CMAKE_CURRENT_SOURCE_DIR}/wine/scripts")
endforeach()
set_tests_properties(server_registration_tests server_scripting_tests PROPERTIES RESOURCE_LOCK wineregistry)
