# A subscription registers with the server and filters nothing of what is shown: its help line and the
# first line it prints say so, on the command line and in the shell.
set(unfiltered "registered with the server; this filters nothing: every event of the site is shown\n")
gwhost_case(0 "subscribe|7|1015|0|--seconds|0" "^connected\ngateway_RegisterEvent\\(7, 1015, 0\\) ${unfiltered}" PASSWORD sipass)
gwhost_case(0 "--help" "\n  subscribe TYPE ID STATE   register with the server [^\n]*\n +this filters nothing: every event of the site is shown\n")
set(input ${CMAKE_CURRENT_BINARY_DIR}/gwhost-subscribe.txt)
file(WRITE ${input} "subscribe 6 1 0\n")
gwhost_case(0 "shell" "^connected\ngateway_RegisterEvent\\(6, 1, 0\\) ${unfiltered}$" PASSWORD sipass STDIN ${input})
# What the line says holds: subscribed to device 3 (Lager, points 30xx), the watch shows events of the
# other devices' points too (3 events a second over the built-in site's three devices), which a filter by
# object would leave out.
gwhost_case(0 "subscribe|6|3|0|--seconds|30|--events|12|--kind|access,state"
            "^gateway_RegisterEvent\\(6, 3, 0\\) ${unfiltered}.*local  (access|state) +ePoint [12][0-9][0-9][0-9] "
            PASSWORD sipass)
