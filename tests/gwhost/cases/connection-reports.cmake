# A server outage as the connection lines tell it (the office site whose server goes away for 3 s): the
# loss is said once, each failed attempt shows its HRESULT in hex with the system's text for it (the
# simulated server refuses with 0x800704C9, a refused connection), and without re-login the line of the
# loss says that none follows.
set(outage ${SITES}/outage.json)
gwhost_case(0 "--site|${outage}|watch|--seconds|40|--events|3|--reconnect|300,1000"
            "^connected\n[^\n]*Mia Keller[^\n]*\n[^\n]*eDoorForced[^\n]*\nconnection lost\nconnection: logging in again, attempt 1\nconnection: attempt 1 failed \\(0x800704C9, [^)\n]+\\)\n.*Tom Berger"
            REJECT "reports a lost connection|failed \\(-|0x800704C9\\)" PASSWORD sipass)
# Without the connection lines the disconnect callback's line tells of the loss.
gwhost_case(0 "--site|${outage}|watch|--seconds|40|--events|2|--reconnect|300,1000|--kind|disconnect,access"
            "Mia Keller[^\n]*\nthe access-control client reports a lost connection\n[^\n]*Tom Berger"
            REJECT "connection lost|attempt" PASSWORD sipass)
gwhost_case(0 "--site|${outage}|watch|--seconds|7|--no-reconnect|--kind|connection,disconnect"
            "^connected\nconnection lost; not logging in again \\(--no-reconnect\\)\n"
            REJECT "reports a lost connection|attempt" PASSWORD sipass)
gwhost_case(0 "--site|${outage}|--json|watch|--seconds|40|--events|2|--reconnect|300,1000|--kind|connection,access"
            "{\"kind\":\"connection\",\"state\":\"lost\",\"attempt\":0}\n{\"kind\":\"connection\",\"state\":\"retrying\",\"attempt\":1}\n{\"kind\":\"connection\",\"state\":\"lost\",\"attempt\":1,\"hresult\":\"0x800704C9\",\"hresultMessage\":\"[^\"]+\"}\n"
            PASSWORD sipass)
