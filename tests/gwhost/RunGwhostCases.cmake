# Runs gwhost under Wine once for each case of a family and checks each exit code and output. Every case
# runs; the test fails at the end and names each case that did not hold.
#   -DEMULATOR= -DGWHOST= -DCASES=file [-DSITES=directory]
# The case file calls, once per case:
#   gwhost_case(CODE ARGS EXPECT [REJECT regex] [PASSWORD text] [STDIN file])
# ARGS is a|b|c; EXPECT must match standard output followed by standard error, REJECT must match neither.
set(failures "")

function(gwhost_case code arguments expect)
    cmake_parse_arguments(C "" "REJECT;PASSWORD;STDIN" "" ${ARGN})
    string(REPLACE "|" ";" argv "${arguments}")
    if(DEFINED C_PASSWORD)
        set(ENV{SIPASS_PASSWORD} "${C_PASSWORD}")
    else()
        unset(ENV{SIPASS_PASSWORD})
    endif()
    set(input)
    if(DEFINED C_STDIN)
        set(input INPUT_FILE ${C_STDIN})
    endif()
    execute_process(COMMAND ${EMULATOR} ${GWHOST} ${argv} ${input}
                    RESULT_VARIABLE got OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
    set(all "${out}${err}")
    string(SUBSTRING "${arguments}" 0 200 shown)
    message("gwhost ${shown}\n--- exit code ${got}\n--- standard output\n${out}--- standard error\n${err}")
    set(problems "")
    if(NOT got STREQUAL "${code}")
        string(APPEND problems "\n  exit code ${got}, expected ${code}")
    endif()
    if(NOT all MATCHES "${expect}")
        string(APPEND problems "\n  the output does not match: ${expect}")
    endif()
    if(DEFINED C_REJECT AND all MATCHES "${C_REJECT}")
        string(APPEND problems "\n  the output matches what it must not: ${C_REJECT}")
    endif()
    if(problems)
        set(failures "${failures}\ngwhost ${shown}${problems}" PARENT_SCOPE)
    endif()
endfunction()

include(${CASES})
if(failures)
    message(FATAL_ERROR "cases that failed:${failures}")
endif()
