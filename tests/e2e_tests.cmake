# The end-to-end proofs under Wine: the in-memory provider behind Wine's
# mapi32.dll, and the registered ZLMTessaro.dll driven by a host of ours with
# a stand-in mail client in the process list. Included by tests/CMakeLists.txt.
# Every test that writes the prefix's registry holds the "wineregistry" lock.
if(NOT WIN32)
  return()
endif()

# The stand-in mail client: only its name matters.
add_executable(outlook_standin wine/outlook_standin.cpp)
set_target_properties(outlook_standin PROPERTIES OUTPUT_NAME outlook)
target_link_options(outlook_standin PRIVATE -municode)

# Each case in a process of its own: mapi32.dll reads the mail client once,
# when it is loaded.
add_executable(memmapi_tests memmapi_test.cpp)
target_link_libraries(memmapi_tests PRIVATE tessaro_testsupport)
target_include_directories(memmapi_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(memmapi_tests tessaro_memmapi)
foreach(case ServesTheCalendarThroughMapi32AndDeliversChangesOnTheMessageLoop WithoutTheProviderTheLogonFails)
  add_test(NAME memmapi_${case}
           COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/run.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:memmapi_tests>
                   --gtest_filter=MemMapi.${case})
  set_tests_properties(memmapi_${case} PROPERTIES FIXTURES_REQUIRED wineprefix RESOURCE_LOCK wineregistry
                       TIMEOUT 120 ENVIRONMENT "TESSARO_MEMMAPI_DLL=$<TARGET_FILE:tessaro_memmapi>")
endforeach()

# The page's side: the registered ZLMTessaro.dll in a host of ours. Once the
# server's target exists.
add_executable(calpresence_host_tests calpresence_host_test.cpp)
target_link_libraries(calpresence_host_tests PRIVATE tessaro_testsupport ole32 oleaut32 uuid psapi)
target_include_directories(calpresence_host_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
if(TARGET ZLMTessaro)
  add_dependencies(calpresence_host_tests ZLMTessaro outlook_standin tessaro_memmapi)
  foreach(case WithoutAMailClientGetCalDataAnswersDoneAndPasswordAvailable
               TheWatcherFindsTheMailClientAndQuitStopsIt
               MeetingsInProgressReachThePageAndACalendarChangeStartsANewPass
               TheDemoCalendarsMeetingsInProgressReachThePage
               WithoutTheProviderMapiInitializeFailsAndIsRetriedAFewTimes
               WhenTheProviderRefusesTheLogonItIsRetriedAFewTimes
               AHandlerThatCallsGetCalDataAgainSeesAWholeNestedPass
               ANotificationDuringAHandlersModalLoopRunsAWholePass
               ThePageMayLetGoOfTheControlInsideAnEvent)
    add_test(NAME calpresence_host_${case}
             COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/with_server.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:ZLMTessaro>
                     $<TARGET_FILE:calpresence_host_tests> --gtest_filter=CalPresenceHost.${case})
    set_tests_properties(calpresence_host_${case} PROPERTIES FIXTURES_REQUIRED wineprefix
                         RESOURCE_LOCK wineregistry TIMEOUT 300 ENVIRONMENT
                         "TESSARO_OUTLOOK_STANDIN=$<TARGET_FILE:outlook_standin>;TESSARO_MEMMAPI_DLL=$<TARGET_FILE:tessaro_memmapi>")
  endforeach()
endif()
