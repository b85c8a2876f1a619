# Fails when KelvadonLauncher.exe links a DLL that Windows would look for beside it first.
# Run as: cmake -DOBJDUMP=<mingw objdump> -DPROGRAM=<exe> -P launcher_imports_test.cmake
#
# The setup program is started from the Downloads folder, where a DLL of the right name would be
# loaded in place of the system's. Windows takes its KnownDLLs from System32 whatever lies beside
# a program, and API sets are never files; everything else must be loaded at run time from
# System32 (as winhttp.dll and bcrypt.dll are).

cmake_minimum_required(VERSION 3.25)

set(allowed
  advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf
  msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32
  wldap32 ws2_32)

execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "No imports found in ${PROGRAM}; the objdump output has changed form.")
endif()
set(refused)
foreach(line ${lines})
  string(REGEX REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" name)
  string(REGEX REPLACE "\\.dll$" "" name "${name}")
  if(NOT name IN_LIST allowed AND NOT name MATCHES "^api-ms-win-")
    list(APPEND refused "${dll}")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
if(refused)
  message(FATAL_ERROR "KelvadonLauncher.exe links DLLs that are not KnownDLLs: ${refused}. Load "
    "them at run time with LoadLibraryExW(..., LOAD_LIBRARY_SEARCH_SYSTEM32) instead.")
endif()
