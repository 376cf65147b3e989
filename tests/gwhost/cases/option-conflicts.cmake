# Options that contradict each other or do not apply to the command are refused, exit code 2, with one
# line naming the option, the command and the commands it applies to; those that apply still run.
set(hint "Run \"gwhost --help\" for the commands and options.\n$")
set(reconnecting "\\(only to watch, subscribe, shell and record\\)\n")
set(eventful "\\(only to command, watch, subscribe, shell and record\\)\n")
set(shown "\\(only to command, watch, subscribe and shell\\)\n")
gwhost_case(2 "watch|--reconnect|500,2000|--no-reconnect"
            "^gwhost: --reconnect and --no-reconnect contradict each other: give one of them\n${hint}")
gwhost_case(2 "--no-reconnect|shell|--reconnect|500,2000"
            "^gwhost: --reconnect and --no-reconnect contradict each other: give one of them\n${hint}")
gwhost_case(2 "point|1025|--reconnect|500,2000" "^gwhost: --reconnect does not apply to point ${reconnecting}${hint}")
gwhost_case(2 "command|7|1025|3|--no-reconnect" "^gwhost: --no-reconnect does not apply to command ${reconnecting}${hint}")
gwhost_case(2 "doors|--seconds|3" "^gwhost: --seconds does not apply to doors ${eventful}${hint}")
gwhost_case(2 "point|1011|--events|2" "^gwhost: --events does not apply to point ${eventful}${hint}")
gwhost_case(2 "stats|--kind|access" "^gwhost: --kind does not apply to stats ${shown}${hint}")
gwhost_case(2 "version|--stats"
            "^gwhost: --stats does not apply to version \\(only to doors, point, command, watch, subscribe, shell and record\\)\n${hint}")
# What applies runs: the same option twice (the last counts), and every option a command takes.
gwhost_case(0 "watch|--seconds|0|--reconnect|500,2000|--reconnect|600,3000|--events|1|--kind|state"
            "gwhost: no events in 0 s\n$" PASSWORD sipass)
gwhost_case(0 "command|7|1025|3|--seconds|0|--events|1|--kind|state|--stats"
            "^gateway_controlDoor\\(7, 1025, 3\\) sent\n.*gateway statistics " PASSWORD sipass)
gwhost_case(0 "shell|--no-reconnect|--seconds|1|--events|1|--kind|state|--stats"
            "^gateway statistics " PASSWORD sipass STDIN ${CMAKE_CURRENT_LIST_DIR}/../empty-input.txt)
gwhost_case(0 "doors|--stats" "^3 devices, 7 doors\n.*gateway statistics " PASSWORD sipass)
