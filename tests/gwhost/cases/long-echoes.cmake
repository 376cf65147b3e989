# What a message echoes of a long word or line is cut to its first 80 characters, "..." and its length in
# bytes, on the command line and in the shell; a character of several bytes is never cut in two, and a
# text of 80 characters is shown whole.
string(REPEAT "1" 200 digits)
string(REPEAT "1" 80 digits80)
gwhost_case(2 "point|${digits}" "^gwhost: point: '${digits80}\\.\\.\\.' \\(200 bytes\\) is not a 32-bit number\n")
string(REPEAT "x" 20000 long_option)
string(REPEAT "x" 78 option78)
gwhost_case(2 "--${long_option}|doors" "^gwhost: unknown option --${option78}\\.\\.\\. \\(20002 bytes\\)\n")
string(REPEAT "x" 76 kind76)
gwhost_case(2 "watch|--kind|state,zzzz${long_option}"
            "^gwhost: unknown event kind 'zzzz${kind76}\\.\\.\\.' \\(20004 bytes\\) \\(state, access")

# The shell: a word of 65000 bytes (within the longest line), 100 two-byte letters, 80 letters whole.
string(REPEAT "x" 64996 word)
string(REPEAT "x" 76 word76)
string(REPEAT "é" 100 letters)
string(REPEAT "é" 80 letters80)
set(input ${CMAKE_CURRENT_BINARY_DIR}/gwhost-long-echoes.txt)
file(WRITE ${input} "frob${word}\npoint ${letters}\npoint ${letters80}\npoint 2031\n")
gwhost_case(1 "shell|--log-level|none"
            "^connected\npoint 2031  [^\n]*\ngwhost: line 1: unknown command 'frob${word76}\\.\\.\\.' \\(65000 bytes\\) \\(help lists the commands\\)\ngwhost: line 2: point: '${letters80}\\.\\.\\.' \\(200 bytes\\) is not a 32-bit number \\(help lists the commands\\)\ngwhost: line 3: point: '${letters80}' is not a 32-bit number \\(help lists the commands\\)\n$"
            PASSWORD sipass STDIN ${input})
