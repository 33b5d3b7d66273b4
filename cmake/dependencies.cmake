# JsonCpp, and for developers GoogleTest and Google Benchmark, compiled for the target from the
# sources scripts/setup installed.
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_STATIC_LIBS ON CACHE BOOL "" FORCE)
set(BUILD_OBJECT_LIBS OFF CACHE BOOL "" FORCE)
foreach(option JSONCPP_WITH_TESTS JSONCPP_WITH_POST_BUILD_UNITTEST JSONCPP_WITH_PKGCONFIG_SUPPORT
               JSONCPP_WITH_CMAKE_PACKAGE JSONCPP_WITH_EXAMPLE)
  set(${option} OFF CACHE BOOL "" FORCE)
endforeach()
set(JSONCPP_STATIC_WINDOWS_RUNTIME ON CACHE BOOL "" FORCE)
if(NOT EXISTS "${PATCH_DEPS_DIR}/jsoncpp/CMakeLists.txt")
  message(FATAL_ERROR "JsonCpp sources missing in ${PATCH_DEPS_DIR}/jsoncpp: run scripts/setup")
endif()
add_subdirectory("${PATCH_DEPS_DIR}/jsoncpp" "${CMAKE_BINARY_DIR}/jsoncpp" EXCLUDE_FROM_ALL)

if(BUILD_TESTING)
  set(PATCH_GTEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory("${PATCH_GTEST_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()

if(PATCH_BUILD_BENCHMARKS)
  foreach(option BENCHMARK_ENABLE_TESTING BENCHMARK_ENABLE_GTEST_TESTS BENCHMARK_ENABLE_INSTALL
                 BENCHMARK_ENABLE_WERROR)
    set(${option} OFF CACHE BOOL "" FORCE)
  endforeach()
  # Cross-compiled feature checks cannot run their probes; std::regex is there with MinGW.
  set(HAVE_STD_REGEX ON CACHE BOOL "" FORCE)
  set(HAVE_STEADY_CLOCK ON CACHE BOOL "" FORCE)
  if(NOT EXISTS "${PATCH_DEPS_DIR}/benchmark/CMakeLists.txt")
    message(FATAL_ERROR "Google Benchmark sources missing in ${PATCH_DEPS_DIR}/benchmark: run scripts/setup")
  endif()
  # Added before our UNICODE definitions: its Windows code calls the ANSI forms by generic name.
  add_subdirectory("${PATCH_DEPS_DIR}/benchmark" "${CMAKE_BINARY_DIR}/benchmark" EXCLUDE_FROM_ALL)
endif()
