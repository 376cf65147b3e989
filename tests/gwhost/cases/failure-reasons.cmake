# Why an export failed comes from the gateway's last error, whatever the log level shows: the simulator's
# codes by name with the HRESULT, the gateway's own codes by name with the line it logged. In the shell
# each failed line gets its own reason, not an earlier line's.
gwhost_case(1 "--log-level|none|point|424242"
            "gwhost: gateway_getPointState\\(424242\\) failed: the site has no such point or device \\(HRESULT 0x80040202\\)\n$"
            PASSWORD sipass)
gwhost_case(1 "--log-level|none|point|1025"
            "gwhost: login as operator failed: the server rejected the user name or the password \\(HRESULT 0x80040201\\)\n$"
            PASSWORD wrong)
gwhost_case(1 "--log-level|none|subscribe|7|424242|0|--seconds|0"
            "gateway_RegisterEvent\\(7, 424242, 0\\) failed\n.*gwhost: the registration was refused: the site has no such point or device \\(HRESULT 0x80040202\\)\n"
            PASSWORD sipass)
set(input ${CMAKE_CURRENT_BINARY_DIR}/gwhost-failure-reasons.txt)
file(WRITE ${input} "command 7 1015 -5\npoint 1025\ncommand 99 1015 1\npoint 424242\n")
gwhost_case(1 "--log-level|none|shell"
            "gwhost: line 1: the command was refused: no such command code [^\n]*\\(HRESULT 0x80040205\\)\n.*gwhost: line 3: the command was refused: the object type is neither 7 \\(point\\) nor 6 \\(device\\) \\(HRESULT 0x80040204\\)\n.*gwhost: line 4: gateway_getPointState\\(424242\\) failed: the site has no such point or device"
            PASSWORD sipass STDIN ${input})
