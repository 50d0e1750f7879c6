# Fails unless a Windows program imports only DLLs that every Windows has, so it
# runs from a bare copy with nothing installed beside it.
#   cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DPROGRAM=prog.exe -P check_imports.cmake
# The program is only read, never run: this works on the build host as it is.
cmake_minimum_required(VERSION 3.25)

if(NOT OBJDUMP OR NOT PROGRAM)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DPROGRAM=<file.exe> -P check_imports.cmake")
endif()
if(NOT EXISTS "${PROGRAM}")
  message(FATAL_ERROR "${PROGRAM} does not exist")
endif()

# The universal CRT's api-ms-win-crt-* forwarders are missing on older systems
# without an update; we link the msvcrt that every Windows carries.
set(allowed
  kernel32 user32 gdi32 shell32 advapi32 comctl32 comdlg32 ole32 oleaut32
  msvcrt ws2_32 crypt32 bcrypt secur32 shlwapi version wldap32 normaliz iphlpapi winhttp)

execute_process(
  COMMAND "${OBJDUMP}" -p "${PROGRAM}"
  OUTPUT_VARIABLE dump
  ERROR_VARIABLE dump_errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${result}): ${dump_errors}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
set(imports "")
set(refused "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND imports "${dll}")
  string(REGEX REPLACE "\\.dll$" "" base "${dll}")
  if(NOT base IN_LIST allowed OR base STREQUAL dll)
    list(APPEND refused "${dll}")
  endif()
endforeach()

# A program always imports kernel32 at least: no import found means the dump
# was not understood, and that must not pass as "nothing wrong".
if(NOT imports)
  message(FATAL_ERROR "no imported DLL found in ${PROGRAM}; objdump output not understood:\n${dump}")
endif()
list(REMOVE_DUPLICATES imports)
list(JOIN imports ", " shown)
if(refused)
  list(REMOVE_DUPLICATES refused)
  list(JOIN refused ", " refused_shown)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that a plain Windows lacks: ${refused_shown}\n(all imports: ${shown})")
endif()
message(STATUS "${PROGRAM} imports only system DLLs: ${shown}")
