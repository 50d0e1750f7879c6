# Third-party code, never copied into the repository.
#   GoogleTest: built from Debian's sources in /usr/src/googletest, for both builds.
#   libcurl, jsoncpp, libsodium, libzstd: linked as ZQ::curl, ZQ::jsoncpp,
#     ZQ::sodium and ZQ::zstd in both builds.
#     Linux: Debian's -dev packages.
#     Windows: static builds from Debian's source packages of the same versions,
#     made by scripts/build-deps.sh in a cache outside the tree.
#   libdivsufsort: linked as ZQ::divsufsort by the publisher's patch maker;
#     Debian's libdivsufsort-dev on Linux, built by scripts/build-deps.sh for
#     Windows as the others are.

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL SYSTEM)

if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(zq_deps_doc
    "Prefix with static libcurl, jsoncpp, libsodium, libzstd and libdivsufsort for Windows; empty: built by scripts/build-deps.sh")
  set(ZQ_WINDOWS_DEPS "" CACHE PATH "${zq_deps_doc}")
  # The script runs again at each configure while the prefix is its own, not one
  # the user named: a changed toolchain file or build option then gets a fresh
  # build instead of silently linking the old one. A cached run takes a moment.
  if(NOT ZQ_WINDOWS_DEPS OR ZQ_WINDOWS_DEPS STREQUAL ZQ_WINDOWS_DEPS_BUILT)
    message(STATUS "Windows dependencies: scripts/build-deps.sh (the first run builds for a few minutes)")
    # The toolchain files name the processor as build-deps.sh names the architecture.
    execute_process(
      COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/build-deps.sh" --arch ${CMAKE_SYSTEM_PROCESSOR} --print-prefix
      OUTPUT_VARIABLE zq_deps_prefix
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE zq_deps_result)
    if(NOT zq_deps_result EQUAL 0 OR NOT IS_DIRECTORY "${zq_deps_prefix}")
      message(FATAL_ERROR
        "scripts/build-deps.sh failed (${zq_deps_result}); its messages are above.\n"
        "Or set ZQ_WINDOWS_DEPS to a prefix that holds static libcurl, jsoncpp, libsodium, libzstd and libdivsufsort.")
    endif()
    set(ZQ_WINDOWS_DEPS "${zq_deps_prefix}" CACHE PATH "${zq_deps_doc}" FORCE)
    set(ZQ_WINDOWS_DEPS_BUILT "${zq_deps_prefix}" CACHE INTERNAL "prefix last made by scripts/build-deps.sh")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      "${PROJECT_SOURCE_DIR}/scripts/build-deps.sh" "${CMAKE_TOOLCHAIN_FILE}")
  endif()
  message(STATUS "Windows dependencies: ${ZQ_WINDOWS_DEPS}")

  # A package directory cached from an earlier prefix would win over the new one.
  foreach(zq_package IN ITEMS CURL jsoncpp)
    if(${zq_package}_DIR)
      cmake_path(IS_PREFIX ZQ_WINDOWS_DEPS "${${zq_package}_DIR}" NORMALIZE zq_inside)
      if(NOT zq_inside)
        unset(${zq_package}_DIR CACHE)
      endif()
    endif()
  endforeach()
  # The toolchain searches packages only under the MinGW sysroot; the prefix is
  # elsewhere, so these two searches look there and only there.
  find_package(CURL CONFIG REQUIRED PATHS "${ZQ_WINDOWS_DEPS}" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_package(jsoncpp CONFIG REQUIRED PATHS "${ZQ_WINDOWS_DEPS}" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

  add_library(ZQ::curl INTERFACE IMPORTED)
  # CURL_STATICLIB keeps curl.h from declaring dllimport; the system libraries are
  # named again in case a prefix's export omits one (Schannel needs them all).
  target_compile_definitions(ZQ::curl INTERFACE CURL_STATICLIB)
  target_link_libraries(ZQ::curl INTERFACE CURL::libcurl ws2_32 crypt32 bcrypt secur32 advapi32)

  # libsodium has no CMake package: its static library and headers, by path.
  if(NOT EXISTS "${ZQ_WINDOWS_DEPS}/lib/libsodium.a")
    message(FATAL_ERROR "${ZQ_WINDOWS_DEPS} holds no lib/libsodium.a; run scripts/build-deps.sh or name another prefix")
  endif()
  add_library(ZQ::sodium STATIC IMPORTED)
  set_target_properties(ZQ::sodium PROPERTIES
    IMPORTED_LOCATION "${ZQ_WINDOWS_DEPS}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${ZQ_WINDOWS_DEPS}/include"
    # Without it sodium.h declares every function dllimport.
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
    # Its random numbers come from RtlGenRandom in advapi32.
    INTERFACE_LINK_LIBRARIES advapi32)

  if(NOT EXISTS "${ZQ_WINDOWS_DEPS}/lib/libzstd.a")
    message(FATAL_ERROR "${ZQ_WINDOWS_DEPS} holds no lib/libzstd.a; run scripts/build-deps.sh or name another prefix")
  endif()
  add_library(ZQ::zstd STATIC IMPORTED)
  set_target_properties(ZQ::zstd PROPERTIES
    IMPORTED_LOCATION "${ZQ_WINDOWS_DEPS}/lib/libzstd.a"
    INTERFACE_INCLUDE_DIRECTORIES "${ZQ_WINDOWS_DEPS}/include")

  if(NOT EXISTS "${ZQ_WINDOWS_DEPS}/lib/libdivsufsort.a")
    message(FATAL_ERROR
      "${ZQ_WINDOWS_DEPS} holds no lib/libdivsufsort.a; run scripts/build-deps.sh or name another prefix")
  endif()
  add_library(ZQ::divsufsort STATIC IMPORTED)
  set_target_properties(ZQ::divsufsort PROPERTIES
    IMPORTED_LOCATION "${ZQ_WINDOWS_DEPS}/lib/libdivsufsort.a"
    INTERFACE_INCLUDE_DIRECTORIES "${ZQ_WINDOWS_DEPS}/include")
else()
  find_package(CURL MODULE REQUIRED)
  find_package(jsoncpp CONFIG REQUIRED)

  add_library(ZQ::curl INTERFACE IMPORTED)
  target_link_libraries(ZQ::curl INTERFACE CURL::libcurl)

  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZQ_SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(ZQ::sodium INTERFACE IMPORTED)
  target_link_libraries(ZQ::sodium INTERFACE PkgConfig::ZQ_SODIUM)

  pkg_check_modules(ZQ_ZSTD REQUIRED IMPORTED_TARGET libzstd)
  add_library(ZQ::zstd INTERFACE IMPORTED)
  target_link_libraries(ZQ::zstd INTERFACE PkgConfig::ZQ_ZSTD)

  # The suffix sorting of the publisher's patch maker (libdivsufsort-dev).
  pkg_check_modules(ZQ_DIVSUFSORT REQUIRED IMPORTED_TARGET libdivsufsort)
  add_library(ZQ::divsufsort INTERFACE IMPORTED)
  target_link_libraries(ZQ::divsufsort INTERFACE PkgConfig::ZQ_DIVSUFSORT)
endif()

add_library(ZQ::jsoncpp INTERFACE IMPORTED)
target_link_libraries(ZQ::jsoncpp INTERFACE JsonCpp::JsonCpp)
