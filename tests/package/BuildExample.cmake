# Builds the package's C example with the build line its doc/README.md gives, from a copy of the package
# alone, and runs it under Wine against the simulated client.
#   KIND=mingw: the line that starts with COMPILER (this architecture's MinGW gcc), run as it stands.
#   KIND=msvc:  the clang-cl line, run with clang-cl in MSVC mode for this architecture, and, since this
#               machine has no Visual Studio, Wine's headers and the stand-in libraries (tests/msvc) where
#               an MSVC installation would provide them.
#   cmake -DPACKAGE=<top folder> -DWORK= -DKIND=mingw|msvc -DCOMPILER= -DEMULATOR= [msvc: -DCLANG_CL=
#         -DMSVC_TARGET= -DWINE_SDK= -DSDK_LIB=] -P BuildExample.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${PACKAGE}/bin ${PACKAGE}/include ${PACKAGE}/lib ${PACKAGE}/examples ${PACKAGE}/doc DESTINATION ${WORK})

file(STRINGS ${PACKAGE}/doc/README.md readme)
set(line "")
foreach(candidate IN LISTS readme)
    if(candidate MATCHES "^    ${COMPILER} (.+)$")
        set(line "${CMAKE_MATCH_1}")
    endif()
endforeach()
if(line STREQUAL "")
    message(FATAL_ERROR "doc/README.md has no build line that starts with ${COMPILER}")
endif()
separate_arguments(arguments UNIX_COMMAND "${line}")
if(KIND STREQUAL mingw)
    set(command ${COMPILER} ${arguments})
else()
    # Everything after /link goes to the linker, the stand-in's library directory last.
    set(command ${CLANG_CL} --target=${MSVC_TARGET} -fuse-ld=lld /X /imsvc ${WINE_SDK}/msvcrt
                /imsvc ${WINE_SDK}/windows ${arguments} /LIBPATH:${SDK_LIB})
endif()
execute_process(COMMAND ${command} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
list(JOIN command " " shown)
if(failed OR NOT EXISTS ${WORK}/bin/host.exe)
    message(FATAL_ERROR "the README's build line failed:\n${shown}\n${out}")
endif()
message("built bin/host.exe from the package alone:\n${shown}\n${out}")

execute_process(COMMAND ${CMAKE_COMMAND} -E env SIPASS_PASSWORD=sipass ${EMULATOR} host.exe --simulator operator
                WORKING_DIRECTORY ${WORK}/bin RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REPLACE "\r" "" out "${out}")
message("${out}")
if(failed OR NOT out MATCHES "7 doors\nlatch 1015: state 4001.*state event: point 1015 now in state 4001 \\(stamped [0-9]+ ms after 1970 UTC\\)\nstate event: point 1015 now in state 4000 \\(stamped [0-9]+ ms after 1970 UTC\\)\ndone")
    message(FATAL_ERROR "host.exe failed (exit code ${failed})")
endif()
file(REMOVE_RECURSE ${WORK})
