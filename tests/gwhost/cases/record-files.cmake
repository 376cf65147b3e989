# gwhost record and its file: what it refuses before the login (no --out, options that are not its own,
# an existing file without --force, a folder that is missing), and a recording of no events that still
# writes a whole site with its summary, over an existing file only with --force.
set(work ${SITES}/../gwhost-record-files)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
set(hint "Run \"gwhost --help\" for the commands and options.\n$")
gwhost_case(2 "record|--seconds|1" "^gwhost: record needs --out FILE, the site file it writes\n${hint}")
gwhost_case(2 "watch|--out|${work}/x.json" "^gwhost: --out does not apply to watch \\(only to record\\)\n${hint}")
gwhost_case(2 "doors|--keep-names" "^gwhost: --keep-names does not apply to doors \\(only to record\\)\n${hint}")
gwhost_case(2 "record|--out|${work}/x.json|--kind|access"
            "^gwhost: --kind does not apply to record \\(only to command, watch, subscribe and shell\\)\n${hint}")
# An existing file is left as it is, and so is a folder that does not exist: no login is made.
file(WRITE ${work}/kept.json "not a site")
gwhost_case(2 "--site|${SITES}/office.json|record|--out|${work}/kept.json|--seconds|0"
            "gwhost: [^\n]*kept.json exists: --force replaces it\n$" PASSWORD sipass)
file(READ ${work}/kept.json kept)
if(NOT kept STREQUAL "not a site")
    set(failures "${failures}\nrecord without --force changed an existing file")
endif()
gwhost_case(4 "--site|${SITES}/office.json|record|--out|${work}/no-such-folder/x.json|--seconds|0"
            "gwhost: cannot write beside [^\n]*no-such-folder/x.json: " PASSWORD sipass)
# No events: the file still holds the doors and points, an empty timeline and an empty list of
# cardholders (without it the simulator would bring its own); --force replaces the file written first.
gwhost_case(0 "--site|${SITES}/office.json|record|--out|${work}/kept.json|--seconds|0|--force|--keep-names"
            "^recorded [^\n]*kept.json: 1 device, 2 doors, 7 points, 0 cardholders\n  events: 0 state, 0 access, 0 generic; 0 outages\n  cardholders' names and card numbers as they are \\(--keep-names\\)\n  account: operator, password [A-Za-z0-9]+ \\(shown only now\\)\n  left out:\n    named objects[^\n]*\n.*gwhost: warning: --keep-names: the file holds the cardholders' real names and card numbers\n$"
            PASSWORD sipass)
file(READ ${work}/kept.json kept)
if(NOT kept MATCHES "\"cardholders\": \\[\\],\n  \"points\": \\[\n    {\"id\":111,\"name\":\"Front door reader outside\",\"state\":2026,\"stateType\":0,\"serverTime\":\"2025-01-06 08:00:00\",\"location\":\"Front door\",\"description\":\"Reader outside\"},\n.*\"events\": \\[\\]\n}\n$")
    set(failures "${failures}\nthe recording of no events is not the whole site:\n${kept}")
endif()
# --json: the summary as one document; events up to --events.
gwhost_case(0 "--site|${SITES}/office.json|--json|record|--out|${work}/two.json|--events|2|--seconds|40"
            "^{\"file\":\"[^\"]*two.json\",\"devices\":1,\"doors\":2,\"points\":7,\"cardholders\":2,\"events\":{\"state\":0,\"access\":2,\"generic\":0},\"outages\":0,\"pseudonyms\":true,\"account\":{\"user\":\"operator\",\"password\":\"[A-Za-z0-9]+\"},\"leftOut\":\\[" PASSWORD sipass)
