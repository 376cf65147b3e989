# Fails unless DLL imports only Windows system DLLs and exports the four COM server entry points
# undecorated. Run with -DOBJDUMP=<objdump> -DDLL=<path>.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SystemImports.cmake)
check_system_imports(${OBJDUMP} ${DLL} dump)

foreach(entry DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer)
    if(NOT dump MATCHES "\\] ${entry}[\r\n]")
        message(FATAL_ERROR "${DLL} does not export ${entry} under its plain name")
    endif()
endforeach()
