# Runs gwhost once under Wine and checks its exit code and output.
#   -DEMULATOR= -DGWHOST= -DARGS=a|b|c -DEXPECT_CODE=0 [-DEXPECT=regex] [-DREJECT=regex]
#   [-DPASSWORD=text] [-DSTDIN=file]
# EXPECT must match standard output followed by standard error; REJECT must match neither.
string(REPLACE "|" ";" arguments "${ARGS}")
if(DEFINED PASSWORD)
    set(ENV{SIPASS_PASSWORD} "${PASSWORD}")
else()
    unset(ENV{SIPASS_PASSWORD})
endif()
set(input)
if(DEFINED STDIN)
    set(input INPUT_FILE ${STDIN})
endif()
execute_process(COMMAND ${EMULATOR} ${GWHOST} ${arguments} ${input}
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
set(all "${out}${err}")
message("gwhost ${ARGS}\n--- exit code ${code}\n--- standard output\n${out}--- standard error\n${err}")
if(NOT code STREQUAL "${EXPECT_CODE}")
    message(FATAL_ERROR "exit code ${code}, expected ${EXPECT_CODE}")
endif()
if(DEFINED EXPECT AND NOT all MATCHES "${EXPECT}")
    message(FATAL_ERROR "the output does not match: ${EXPECT}")
endif()
if(DEFINED REJECT AND all MATCHES "${REJECT}")
    message(FATAL_ERROR "the output matches what it must not: ${REJECT}")
endif()
