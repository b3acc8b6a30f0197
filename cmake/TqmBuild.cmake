# Build-wide settings shared by every directory: warnings, sanitizers, the test
# framework, and the helpers that declare test programs.

set(TQM_SANITIZE "" CACHE STRING "Sanitizers for the host build (address;undefined or thread)")
option(TQM_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(TQM_WINDOWS ON)
else()
  set(TQM_WINDOWS OFF)
endif()

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(TQM_SANITIZE AND NOT TQM_WINDOWS)
  list(JOIN TQM_SANITIZE "," _tqm_sanitizers)
  add_compile_options(-fsanitize=${_tqm_sanitizers} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_tqm_sanitizers})
  if("undefined" IN_LIST TQM_SANITIZE)
    # An undefined-behaviour report fails the test that caused it.
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# GoogleTest: Debian's packages on the host; built from its sources with the
# cross compiler for Windows.
if(TQM_WINDOWS)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(TQM_GTEST_MAIN GTest::gmock_main)
  if(NOT TARGET GTest::gmock_main)
    add_library(GTest::gmock_main ALIAS gmock_main)
    add_library(GTest::gmock ALIAS gmock)
    add_library(GTest::gtest ALIAS gtest)
  endif()
else()
  find_package(GTest REQUIRED)
  find_package(benchmark QUIET)
  set(TQM_GTEST_MAIN GTest::gmock_main)
endif()

# tqm_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...])
# One GoogleTest program; its cases are discovered before each run, so building
# never needs Wine. On Windows the program runs through the Wine emulator.
function(tqm_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${TQM_GTEST_MAIN})
  set(_props "")
  if(T_LABELS)
    set(_props PROPERTIES LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 ${_props})
endfunction()

# tqm_user_library(NAME name SOURCES ... [LIBS ...] [USER_LIBS ...])
# A user-mode library (Windows build) in two variants: `name` calls Win32
# directly and goes into what ships; `name_sim` is compiled for the simulator
# and reaches the machine through tqmsim.dll, for the programs the Windows
# tests run. USER_LIBS are other such libraries: each variant links the
# matching variant of them.
function(tqm_user_library)
  cmake_parse_arguments(L "" "NAME" "SOURCES;LIBS;USER_LIBS;INCLUDES" ${ARGN})
  set(_sim_user_libs "")
  foreach(_lib IN LISTS L_USER_LIBS)
    list(APPEND _sim_user_libs ${_lib}_sim)
  endforeach()
  add_library(${L_NAME} STATIC ${L_SOURCES})
  target_include_directories(${L_NAME} PUBLIC ${PROJECT_SOURCE_DIR} ${L_INCLUDES})
  target_link_libraries(${L_NAME} PUBLIC tqm_sys ${L_USER_LIBS} ${L_LIBS})
  add_library(${L_NAME}_sim STATIC ${L_SOURCES})
  target_include_directories(${L_NAME}_sim PUBLIC ${PROJECT_SOURCE_DIR} ${L_INCLUDES})
  target_link_libraries(${L_NAME}_sim PUBLIC tqmsim ${_sim_user_libs} ${L_LIBS})
endfunction()

# tqm_add_sim_test(NAME name SOURCES ... [LIBS ...])
# A GoogleTest program of the Windows build that drives the simulated machine
# through tqmsim.dll: every case runs under Wine beside a private
# `tqm27sim serve` from the host build (cmake/with-sim-server), one at a time,
# since they share the prefix's wineserver.
set(TQM_SIM_SERVER "${PROJECT_SOURCE_DIR}/build/host/tools/tqm27sim/tqm27sim" CACHE FILEPATH
    "The host build's tqm27sim, which serves the Windows tests of the bridge")
function(tqm_add_sim_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tqmsim ${TQM_GTEST_MAIN})
  add_custom_command(TARGET ${T_NAME} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:tqmsim> $<TARGET_FILE_DIR:${T_NAME}>)
  set_target_properties(${T_NAME} PROPERTIES CROSSCOMPILING_EMULATOR
    "${PROJECT_SOURCE_DIR}/cmake/with-sim-server;${TQM_SIM_SERVER};${PROJECT_SOURCE_DIR}/cmake/wine-run")
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS bridge RUN_SERIAL TRUE)
endfunction()

# tqm_version_resource(TARGET target FILE name DESCRIPTION text TYPE VFT_x [SUBTYPE VFT2_x])
# The image's VERSIONINFO: the project's one version number (tqm/version.h)
# with the company, product and the image's own description and file name.
function(tqm_version_resource)
  cmake_parse_arguments(V "" "TARGET;FILE;DESCRIPTION;TYPE;SUBTYPE" "" ${ARGN})
  set(TQM_RC_FILE ${V_FILE})
  get_filename_component(TQM_RC_INTERNAL ${V_FILE} NAME_WE)
  set(TQM_RC_DESCRIPTION ${V_DESCRIPTION})
  set(TQM_RC_FILE_TYPE ${V_TYPE})
  set(TQM_RC_FILE_SUBTYPE ${V_SUBTYPE})
  if(NOT TQM_RC_FILE_SUBTYPE)
    set(TQM_RC_FILE_SUBTYPE VFT2_UNKNOWN)
  endif()
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${V_TARGET}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${_rc} @ONLY)
  target_sources(${V_TARGET} PRIVATE ${_rc})
  target_include_directories(${V_TARGET} PRIVATE ${CMAKE_BINARY_DIR}/generated)
  set_source_files_properties(${_rc} PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/tqm/version.h)
endfunction()
