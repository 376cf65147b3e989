# scripts/demo.sh checks its arguments before its first step. It runs here as a copy in a directory of its
# own whose first step (scripts/install-deps.sh) is a stub that only says it ran, so that a check that
# lets a wrong argument through shows as that line, and nothing is built or registered.
#   -DDEMO=path/to/demo.sh -DWORK=directory
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/scripts)
file(COPY ${DEMO} DESTINATION ${WORK}/scripts)
file(WRITE ${WORK}/scripts/install-deps.sh "echo 'the first step ran'\nexit 7\n")
set(failures "")

# demo_case(CODE EXPECT ARGUMENTS...): EXPECT must match standard output followed by standard error.
function(demo_case code expect)
    execute_process(COMMAND bash ${WORK}/scripts/demo.sh ${ARGN}
                    RESULT_VARIABLE got OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
    message("demo.sh ${ARGN}\n--- exit code ${got}\n--- standard output\n${out}--- standard error\n${err}")
    if(NOT got STREQUAL "${code}" OR NOT "${out}${err}" MATCHES "${expect}")
        set(failures "${failures}\ndemo.sh ${ARGN}: exit code ${got} (expected ${code}), or the output does not match ${expect}" PARENT_SCOPE)
    endif()
endfunction()

set(hint "\nRun \"scripts/demo.sh --help\" for the arguments.\n$")
demo_case(0 "^usage: scripts/demo.sh \\[USER \\[PASSWORD\\]\\] \\[--seconds N\\] \\[--debug\\]\n.*--help  " --help)
demo_case(0 "^usage: scripts/demo.sh " operator -h)
demo_case(2 "^demo.sh: --seconds needs a number of seconds from 1 to 86400, not 'abc'${hint}" --seconds abc)
demo_case(2 "^demo.sh: --seconds needs a number of seconds from 1 to 86400, not '0'${hint}" --seconds 0)
demo_case(2 "^demo.sh: --seconds needs a number of seconds from 1 to 86400, not '86401'${hint}" --seconds 86401)
demo_case(2 "^demo.sh: --seconds needs a number of seconds${hint}" operator --seconds)
demo_case(2 "^demo.sh: unknown option --colour${hint}" operator sipass --colour)
demo_case(2 "^demo.sh: at most USER and PASSWORD, not 3 words: a b c${hint}" a b c)
# Good arguments pass the checks: the first step runs (here the stub), after the line that says what the
# preparation does.
demo_case(7 "^==> Preparing: [^\n]*\nthe first step ran\n$" Administrator secret --seconds 5 --debug)
demo_case(7 "^==> Preparing: [^\n]*\nthe first step ran\n$" -- --odd-user)

if(failures)
    message(FATAL_ERROR "cases that failed:${failures}")
endif()
