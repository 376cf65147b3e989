# Wine itself now and then writes a line to a program's standard error when one of the program's threads
# loses its link to the wineserver while the process ends ("wine client error:660: sendmsg: Socket
# operation on non-socket", seen under heavy parallel load after gwhost had printed everything and before
# it exited 0). Such a line is Wine's, not gwhost's: it is shown in the log but is not part of the output
# the expectations are checked against. So is wine-run.sh's note that Wine ended a start without a byte
# written and the program was started once more (the second run's output is the one checked). Any other
# line stays, so a real fault still fails the check.
function(drop_wine_own_lines variable)
    string(REGEX REPLACE "(^|\n)wine client error:[0-9a-f]+: [^\n]*\n" "\\1" kept "${${variable}}")
    string(REGEX REPLACE "(^|\n)wine-run.sh: Wine ended the program [^\n]* started once more\n" "\\1" kept
           "${kept}")
    set(${variable} "${kept}" PARENT_SCOPE)
endfunction()
