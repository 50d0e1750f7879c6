# Windows programs must start on a plain Windows from a bare copy: every DLL
# they import has to ship with the system. The check reads the files with
# objdump on the build host; nothing runs under Wine.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  # The objdump of the compiler's own target (x86_64-w64-mingw32, i686-w64-mingw32).
  get_filename_component(zq_compiler_name ${CMAKE_C_COMPILER} NAME)
  string(REGEX REPLACE "-gcc.*$" "" zq_target_triplet "${zq_compiler_name}")
  find_program(ZQ_OBJDUMP NAMES ${zq_target_triplet}-objdump REQUIRED)

  function(zq_add_import_test name program)
    add_test(NAME ${name}
      COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${ZQ_OBJDUMP} -DPROGRAM=${program}
              -P ${PROJECT_SOURCE_DIR}/cmake/check_imports.cmake)
    # Runs nothing of the build: kept where its programs cannot run.
    set_tests_properties(${name} PROPERTIES LABELS image)
  endfunction()

  zq_add_import_test(program_imports $<TARGET_FILE:ZenquiloStudent>)
  # Links the static libcurl and jsoncpp, whatever the launcher links so far.
  zq_add_import_test(update_link_tests_imports $<TARGET_FILE:update_link_tests>)

  # The check must be able to fail. Each probe is matched on the reason given,
  # so a check that breaks for some other reason does not pass as a refusal
  # (CMake wraps long messages, hence the blanks allowed between words).
  # wininet.dll ships with Windows but is not on our list: what a stray
  # dependency looks like.
  set(zq_probe_dir ${CMAKE_CURRENT_BINARY_DIR}/import_probes)
  file(CONFIGURE OUTPUT ${zq_probe_dir}/off_list.c CONTENT
    "#include <windows.h>\n#include <wininet.h>\nint main(void) { return InternetAttemptConnect(0) == 0 ? 0 : 1; }\n")
  add_executable(import_probe_off_list ${zq_probe_dir}/off_list.c)
  target_link_libraries(import_probe_off_list PRIVATE wininet)
  zq_add_import_test(import_check_refuses_unlisted_dll $<TARGET_FILE:import_probe_off_list>)
  set_tests_properties(import_check_refuses_unlisted_dll PROPERTIES
    PASS_REGULAR_EXPRESSION "lacks:[ \n]+wininet\\.dll")

  # No import table at all is what a misread dump looks like; it must not pass.
  file(CONFIGURE OUTPUT ${zq_probe_dir}/no_imports.c CONTENT "void zq_probe_entry(void) {}\n")
  add_executable(import_probe_no_imports ${zq_probe_dir}/no_imports.c)
  # x86 symbols carry a leading underscore.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
    set(zq_probe_entry _zq_probe_entry)
  else()
    set(zq_probe_entry zq_probe_entry)
  endif()
  target_link_options(import_probe_no_imports PRIVATE -nostdlib -nostartfiles -Wl,--entry=${zq_probe_entry})
  zq_add_import_test(import_check_refuses_empty_import_list $<TARGET_FILE:import_probe_no_imports>)
  set_tests_properties(import_check_refuses_empty_import_list PROPERTIES
    PASS_REGULAR_EXPRESSION "no imported DLL found")

  zq_add_import_test(import_check_refuses_non_program ${PROJECT_SOURCE_DIR}/cmake/check_imports.cmake)
  set_tests_properties(import_check_refuses_non_program PROPERTIES
    PASS_REGULAR_EXPRESSION "failed[ \n]+\\([1-9][0-9]*\\)")
endif()
