# Wine itself now and then writes a line to a program's standard error when one of the program's threads
# loses its link to the wineserver while the process ends ("wine client error:660: sendmsg: Socket
# operation on non-socket", seen under heavy parallel load after gwhost had printed everything and before
# it exited 0). Such a line is Wine's, not gwhost's: it is shown in the log but is not part of the output
# the expectations are checked against. Any other line stays, so a real fault still fails the check.
function(drop_wine_own_lines variable)
    string(REGEX REPLACE "(^|\n)wine client error:[0-9a-f]+: [^\n]*\n" "\\1" kept "${${variable}}")
    set(${variable} "${kept}" PARENT_SCOPE)
endfunction()
