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

# libdivsufsort, the suffix array under patchmake's differ. It goes before zstd: its "uninstall"
# target is made unconditionally, zstd's only where none exists.
set(BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
set(BUILD_DIVSUFSORT64 OFF CACHE BOOL "" FORCE)
set(USE_OPENMP OFF CACHE BOOL "" FORCE)
if(NOT EXISTS "${PATCH_DEPS_DIR}/libdivsufsort/CMakeLists.txt")
  message(FATAL_ERROR "libdivsufsort sources missing in ${PATCH_DEPS_DIR}/libdivsufsort: run scripts/setup")
endif()
add_subdirectory("${PATCH_DEPS_DIR}/libdivsufsort" "${CMAKE_BINARY_DIR}/libdivsufsort"
                 EXCLUDE_FROM_ALL)
# Its header is made at configure time in its build folder.
target_include_directories(divsufsort INTERFACE
  "$<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/libdivsufsort/include>")

# zstd, for compressed and difference entries. The tools take the whole library from its own
# CMake project; the runner links a library of the decoder's sources only (no compressor, no
# legacy formats), so that Patch.exe carries nothing it cannot use.
foreach(option ZSTD_BUILD_SHARED ZSTD_BUILD_PROGRAMS ZSTD_BUILD_TESTS ZSTD_BUILD_CONTRIB
               ZSTD_MULTITHREAD_SUPPORT ZSTD_LEGACY_SUPPORT)
  set(${option} OFF CACHE BOOL "" FORCE)
endforeach()
set(ZSTD_BUILD_STATIC ON CACHE BOOL "" FORCE)
set(PATCH_ZSTD_DIR "${PATCH_DEPS_DIR}/zstd")
if(NOT EXISTS "${PATCH_ZSTD_DIR}/build/cmake/CMakeLists.txt")
  message(FATAL_ERROR "zstd sources missing in ${PATCH_ZSTD_DIR}: run scripts/setup")
endif()
add_subdirectory("${PATCH_ZSTD_DIR}/build/cmake" "${CMAKE_BINARY_DIR}/zstd" EXCLUDE_FROM_ALL)
target_include_directories(libzstd_static INTERFACE "$<BUILD_INTERFACE:${PATCH_ZSTD_DIR}/lib>")

file(GLOB zstd_decoder_sources "${PATCH_ZSTD_DIR}/lib/common/*.c"
     "${PATCH_ZSTD_DIR}/lib/decompress/*.c")
add_library(zstd_decoder STATIC EXCLUDE_FROM_ALL ${zstd_decoder_sources})
target_include_directories(zstd_decoder PUBLIC "${PATCH_ZSTD_DIR}/lib")
# The same definitions its own build uses; the assembly decoder exists for x86-64 only.
target_compile_definitions(zstd_decoder PRIVATE ZSTD_LEGACY_SUPPORT=0 XXH_NAMESPACE=ZSTD_
                           ZSTD_DISABLE_ASM)

# The compressor for the tools and the tests, on the decoder's common part, so that a program
# that links both carries each zstd object once.
file(GLOB zstd_encoder_sources "${PATCH_ZSTD_DIR}/lib/compress/*.c")
add_library(zstd_encoder STATIC EXCLUDE_FROM_ALL ${zstd_encoder_sources})
target_link_libraries(zstd_encoder PUBLIC zstd_decoder)
target_compile_definitions(zstd_encoder PRIVATE XXH_NAMESPACE=ZSTD_ ZSTD_DISABLE_ASM)
