# A wrong command line: one line saying what is wrong and one pointing at --help, nothing else, exit code 2.
# --help anywhere shows the usage on standard output, exit code 0.
set(hint "Run \"gwhost --help\" for the commands and options.\n")
gwhost_case(2 "--colour|doors" "^gwhost: unknown option --colour\n${hint}$")
gwhost_case(2 "frob" "^gwhost: unknown command 'frob'\n${hint}$")
gwhost_case(2 "point|12x" "^gwhost: point: '12x' is not a 32-bit number\n${hint}$")
gwhost_case(2 "" "^gwhost: no command given\n${hint}$")
gwhost_case(2 "watch|--seconds|abc" "^gwhost: --seconds needs a number of seconds from 0 to 86400\n${hint}$")
gwhost_case(0 "--help" "^usage: gwhost \\[options\\] COMMAND .*\n  --json  [^\n]*\n$" REJECT "Run \"gwhost")
gwhost_case(0 "point|12x|-h" "^usage: gwhost " REJECT "not a 32-bit number")
