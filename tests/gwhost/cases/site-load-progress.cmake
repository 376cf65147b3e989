# A site file of megabytes is not loaded in silence: to a pipe, a line names it and its size before the
# load and one says when it is loaded; a small file loads without a word about it. A file that fails to
# load gets no "loaded" line. A slow machine may add lines of the count in between.
gwhost_case(0 "--site|${SITES}/campus.json|point|4001005"
            "^point 4001005 [^\n]*\n.*gwhost: loading the site file [^\n]*campus.json \\(4\\.6 MB\\)\n(gwhost: [^\n]*, [0-9]+ s\n)*gwhost: loaded the site file [^\n]*campus.json in [0-9]+\\.[0-9] s\n$"
            PASSWORD sipass)
gwhost_case(0 "--site|${SITES}/office.json|point|115" "^point 115 " REJECT "site file" PASSWORD sipass)
set(broken ${CMAKE_CURRENT_BINARY_DIR}/gwhost-broken-site.json)
file(READ ${SITES}/campus.json campus)
string(APPEND campus "}")
file(WRITE ${broken} "${campus}")
gwhost_case(2 "--site|${broken}|point|4001005"
            "gwhost: loading the site file [^\n]*gwhost-broken-site.json \\(4\\.6 MB\\)\n.*rejects the site file"
            REJECT "loaded the site file" PASSWORD sipass)
