# Builds the package's C example with one of the build lines its doc/README.md gives, from a copy of the
# package alone, and runs it under Wine against the simulated client, once as the README shows and once with
# a wrong password. The line is the README's, run by the shell exactly as printed: LINE names it by its
# first word.
#   For "clang-cl", the Windows line, this machine has no developer command prompt: a stand-in gives what
#   one gives, a clang-cl on PATH whose default target is 64-bit Windows in MSVC mode (linking with
#   lld-link, which ships with it), INCLUDE naming Wine's headers where the SDK's would be and LIB the
#   stand-in libraries of tests/msvc.
#   cmake -DPACKAGE=<top folder> -DWORK= -DLINE=<first word> -DEMULATOR=
#         [clang-cl: -DCLANG_CL= -DWINE_SDK= -DSDK_LIB=] -P BuildExample.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${PACKAGE}/bin ${PACKAGE}/include ${PACKAGE}/lib ${PACKAGE}/examples ${PACKAGE}/doc DESTINATION ${WORK})

file(STRINGS ${PACKAGE}/doc/README.md readme)
string(REGEX REPLACE "[][+.*?^$()|\\]" "\\\\\\0" word "${LINE}")
set(line "")
foreach(candidate IN LISTS readme)
    if(candidate MATCHES "^    ${word} ")
        if(NOT line STREQUAL "")
            message(FATAL_ERROR "doc/README.md has two build lines that start with ${LINE}")
        endif()
        string(SUBSTRING "${candidate}" 4 -1 line)
    endif()
endforeach()
if(line STREQUAL "")
    message(FATAL_ERROR "doc/README.md has no build line that starts with ${LINE}")
endif()

set(environment "")
if(LINE STREQUAL "clang-cl")
    file(WRITE ${WORK}/prompt/clang-cl "#!/bin/sh\nexec ${CLANG_CL} --target=x86_64-pc-windows-msvc -fuse-ld=lld \"$@\"\n")
    file(CHMOD ${WORK}/prompt/clang-cl PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    set(environment "PATH=${WORK}/prompt:$ENV{PATH}" "INCLUDE=${WINE_SDK}/msvcrt\\;${WINE_SDK}/windows"
                    "LIB=${SDK_LIB}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${environment} /bin/sh -c "${line}"
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed OR NOT EXISTS ${WORK}/bin/host.exe)
    message(FATAL_ERROR "the README's build line failed:\n${line}\n${out}")
endif()
message("built bin/host.exe from the package alone:\n${line}\n${out}")

execute_process(COMMAND ${CMAKE_COMMAND} -E env SIPASS_PASSWORD=sipass ${EMULATOR} host.exe --simulator operator
                WORKING_DIRECTORY ${WORK}/bin RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REPLACE "\r" "" out "${out}")
message("${out}")
if(failed OR NOT out MATCHES "7 doors\n(connection connected [^\n]*\n)?latch 1015: state 4001.*state event: point 1015 now in state 4001 \\(stamped [0-9]+ ms after 1970 UTC\\)\nstate event: point 1015 now in state 4000 \\(stamped [0-9]+ ms after 1970 UTC\\)\ndone")
    message(FATAL_ERROR "host.exe failed (exit code ${failed})")
endif()

# A wrong password: the example says why with the code and the text of gateway_GetLastError (the
# simulated client's HRESULT for a rejected login and the line the failure logged) and ends with 1.
execute_process(COMMAND ${CMAKE_COMMAND} -E env SIPASS_PASSWORD=wrong ${EMULATOR} host.exe --simulator operator
                WORKING_DIRECTORY ${WORK}/bin RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REPLACE "\r" "" out "${out}")
message("${out}")
if(NOT failed EQUAL 1 OR NOT out MATCHES "(^|\n)login failed: 0x80040201 Connect to SiPass Server failed: -2147220991\nCheck Username and Password, ")
    message(FATAL_ERROR "host.exe with a wrong password did not say why (exit code ${failed})")
endif()
file(REMOVE_RECURSE ${WORK})
