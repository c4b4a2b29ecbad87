# The shipped module. Included by module/CMakeLists.txt once tessaro_server
# (the module code with the three controls) is defined.
#
# Windows: ZLMTessaro.dll, the in-process server with its resources (registry
# scripts, type library, toolbox bitmaps, name and version) and the five
# exports under their plain names; the hook library is copied beside it,
# where the away timer looks for it.
# Linux: the registry scripts become embedded REGISTRY resources of every
# program that links tessaro_server, so the same registrar runs them.

set(TESSARO_SCRIPT_FILES
  ${CMAKE_CURRENT_LIST_DIR}/scripts/ZLMTessaro.rgs
  ${CMAKE_CURRENT_LIST_DIR}/scripts/CalPresenceAX.rgs
  ${CMAKE_CURRENT_LIST_DIR}/scripts/ActiveMonAX.rgs
  ${CMAKE_CURRENT_LIST_DIR}/scripts/MapiSearchAX.rgs)

if(WIN32)
  # The type library, compiled by widl against the Automation IDL files of
  # libwine-dev and the stdole2.tlb of libwine:i386. mingw-w64-tools installs
  # the compiler under the cross name; Wine's own tools package (only
  # recommended by libwine-dev) under the plain one.
  find_program(TESSARO_WIDL NAMES i686-w64-mingw32-widl widl)
  find_path(TESSARO_WIDL_IDL_DIR oaidl.idl
    PATHS /usr/include/wine/wine/windows /usr/include/wine/windows
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_path(TESSARO_STDOLE2_DIR stdole2.tlb
    PATHS /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows /usr/lib32/wine/i386-windows
          /usr/lib/i386-linux-gnu/wine /usr/lib32/wine
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT TESSARO_WIDL OR NOT TESSARO_WIDL_IDL_DIR OR NOT TESSARO_STDOLE2_DIR)
    message(FATAL_ERROR "the type library needs widl (mingw-w64-tools), the IDL files of libwine-dev "
                        "and stdole2.tlb of libwine:i386")
  endif()

  set(tessaro_tlb ${CMAKE_CURRENT_BINARY_DIR}/TessaroLib.tlb)
  add_custom_command(OUTPUT ${tessaro_tlb}
    COMMAND ${TESSARO_WIDL} -I ${TESSARO_WIDL_IDL_DIR} -L ${TESSARO_STDOLE2_DIR} --win32 -t
            -o ${tessaro_tlb} ${CMAKE_CURRENT_LIST_DIR}/TessaroLib.idl
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/TessaroLib.idl
    COMMENT "Compiling the type library TessaroLib"
    VERBATIM)

  # The resources as an object of their own that every program linking the
  # server carries, as on Linux: the DLL, and the test programs that register
  # the classes from the scripts and the type library of their own file.
  add_library(tessaro_resources OBJECT ${CMAKE_CURRENT_LIST_DIR}/ZLMTessaro.rc ${tessaro_tlb})
  # The resource compiler does not see what the .rc file pulls in.
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/ZLMTessaro.rc PROPERTIES OBJECT_DEPENDS
    "${tessaro_tlb};${TESSARO_SCRIPT_FILES};${CMAKE_CURRENT_LIST_DIR}/resource.h;${CMAKE_CURRENT_LIST_DIR}/res/CalPresenceAX.bmp;${CMAKE_CURRENT_LIST_DIR}/res/ActiveMonAX.bmp;${CMAKE_CURRENT_LIST_DIR}/res/MapiSearchAX.bmp")
  # The .rc names its files relative to this folder and the build folder.
  target_include_directories(tessaro_resources PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_BINARY_DIR}
                                                       ${PROJECT_SOURCE_DIR})
  target_link_libraries(tessaro_server PUBLIC $<TARGET_OBJECTS:tessaro_resources>)
  add_dependencies(tessaro_server tessaro_resources)

  # The entry points and the process entry come from tessaro_server: the
  # exports the .def file names and the C runtime's call of DllMain pull them
  # out of the archive.
  add_library(ZLMTessaro SHARED ${CMAKE_CURRENT_LIST_DIR}/ZLMTessaro.def)
  target_link_libraries(ZLMTessaro PRIVATE tessaro_server)
  set_target_properties(ZLMTessaro PROPERTIES PREFIX "" OUTPUT_NAME ZLMTessaro LINKER_LANGUAGE CXX
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

  # The hook library beside the module, where the away timer looks for it;
  # copied again whenever it is rebuilt. Its target is defined later
  # (hook/); the names resolve when the build files are generated.
  set(tessaro_hook_copy ${CMAKE_CURRENT_BINARY_DIR}/ZLMActvHook.dll)
  add_custom_command(OUTPUT ${tessaro_hook_copy}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ZLMActvHook> ${tessaro_hook_copy}
    DEPENDS ZLMActvHook
    VERBATIM)
  add_custom_target(ZLMTessaro_hook DEPENDS ${tessaro_hook_copy})
  add_dependencies(ZLMTessaro ZLMTessaro_hook)
else()
  set(tessaro_embedded ${CMAKE_CURRENT_BINARY_DIR}/EmbeddedScripts.cpp)
  set(tessaro_script_pairs
    101=${CMAKE_CURRENT_LIST_DIR}/scripts/ZLMTessaro.rgs
    103=${CMAKE_CURRENT_LIST_DIR}/scripts/CalPresenceAX.rgs
    105=${CMAKE_CURRENT_LIST_DIR}/scripts/ActiveMonAX.rgs
    107=${CMAKE_CURRENT_LIST_DIR}/scripts/MapiSearchAX.rgs)
  string(REPLACE ";" "|" tessaro_script_arg "${tessaro_script_pairs}")
  add_custom_command(OUTPUT ${tessaro_embedded}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${tessaro_embedded} "-DSCRIPTS=${tessaro_script_arg}"
            -P ${CMAKE_CURRENT_LIST_DIR}/embed_scripts.cmake
    DEPENDS ${TESSARO_SCRIPT_FILES} ${CMAKE_CURRENT_LIST_DIR}/embed_scripts.cmake
    COMMENT "Embedding the registry scripts"
    VERBATIM)
  # An object library: nothing refers to its start-up object by name, so as a
  # member of an archive the linker would leave it out. Its object file goes
  # onto the link line of every program that links tessaro_server.
  add_library(tessaro_scripts OBJECT ${tessaro_embedded})
  target_link_libraries(tessaro_scripts PRIVATE tessaro_platform)
  target_link_libraries(tessaro_server PUBLIC $<TARGET_OBJECTS:tessaro_scripts>)
  add_dependencies(tessaro_server tessaro_scripts)
endif()
