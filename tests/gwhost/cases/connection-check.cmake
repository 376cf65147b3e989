# The connection check (--check) against the office whose network path dies silently for 4 s: the client
# never reports the loss. With the check, watch hears of it, says the check found it, logs in again once
# the server is back and shows the events after it; the event of the outage itself never arrives. Without
# the check the loss goes unnoticed. --check applies where --reconnect does, with an interval in range.
set(silent ${SITES}/silent-outage.json)
set(hint "Run \"gwhost --help\" for the commands and options.\n$")
gwhost_case(0 "--site|${silent}|watch|--seconds|40|--events|3|--reconnect|300,1000|--check|1000|--log-level|info"
            "^connected\n[^\n]*Mia Keller[^\n]*\n[^\n]*eDoorForced[^\n]*\nconnection lost \\(found by the connection check: the client reported nothing\\)\nconnection: logging in again, attempt 1\n.*connected again after attempt [0-9]+; reading the door states again\n.*Tom Berger.*Connection check: the client reported no loss of this connection. Treated as lost."
            REJECT "Lost Event" PASSWORD sipass)
gwhost_case(0 "--site|${silent}|--json|watch|--seconds|6|--no-reconnect|--check|1000|--kind|connection,disconnect"
            "^{\"kind\":\"connection\",\"state\":\"connected\",\"attempt\":0}\n{\"kind\":\"disconnect\"}\n{\"kind\":\"connection\",\"state\":\"lost\",\"attempt\":0,\"foundByCheck\":true}\n"
            REJECT "retrying" PASSWORD sipass)
gwhost_case(0 "--site|${silent}|watch|--seconds|8|--no-reconnect|--kind|connection,disconnect"
            "^connected\ngwhost: no events in 8 s\n$" PASSWORD sipass)
gwhost_case(2 "point|1011|--check|1000"
            "^gwhost: --check does not apply to point \\(only to watch, subscribe, shell and record\\)\n${hint}")
gwhost_case(2 "watch|--check|999"
            "^gwhost: --check needs an interval in milliseconds from 1000 to 3600000\n${hint}")
gwhost_case(2 "watch|--check" "^gwhost: --check needs an interval in milliseconds from 1000 to 3600000\n${hint}")
# record takes --check too: the loss the check found is recorded as an outage of the site it writes.
set(work ${SITES}/../gwhost-connection-check)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
gwhost_case(0 "--site|${silent}|record|--out|${work}/recorded.json|--seconds|11|--reconnect|300,1000|--check|1000"
            "^recorded [^\n]*recorded.json: [^\n]*\n  events: [0-9]+ state, [0-9]+ access, [0-9]+ generic; 1 outage\n"
            PASSWORD sipass)
