#!/usr/bin/env python3
"""Writes the campus example site: 40 buildings with 100 doors each (4000 doors, 20000 points) and a
short event timeline. Usage: make-campus.py [OUTPUT] (default: standard output)."""
import json
import sys

BUILDINGS = 40
DOORS = 100
ROLES = [("reader1", 1, "Reader outside", 2026), ("reader2", 2, "Reader inside", 2026),
         ("doorFrame", 3, "Door contact", 3004), ("passback", 4, "Passback", 3001),
         ("latch", 5, "Latch", 4000)]

site = {"name": "Campus: %d buildings, %d doors" % (BUILDINGS, BUILDINGS * DOORS),
        "accounts": [{"user": "operator", "password": "sipass"},
                     {"user": "Administrator", "password": "secret"}],
        "points": [], "devices": [], "events": []}
for b in range(1, BUILDINGS + 1):
    building = "Building %02d" % b
    doors = []
    for d in range(1, DOORS + 1):
        door = {"door": d}
        for key, k, role, state in ROLES:
            point = b * 100000 + d * 10 + k
            site["points"].append({"id": point, "name": "%s door %d %s" % (building, d, role),
                                   "state": state, "location": "%s door %d" % (building, d),
                                   "description": role,
                                   "serverTime": "2025-01-06 06:00:00"})
            door[key] = point
        doors.append(door)
    site["devices"].append({"id": b, "name": building, "doors": doors})
for i in range(20):
    b, d = 1 + (i * 7) % BUILDINGS, 1 + (i * 13) % DOORS
    site["events"].append({"delayMs": 250 * (i + 1), "kind": "access", "subType": 5003,
                           "objectId": b * 100000 + d * 10 + 1, "state": 2030,
                           "firstName": "Visitor", "lastName": "%03d" % i,
                           "cardNumber": "%09d" % (500000 + i), "description": "Access granted"})

out = open(sys.argv[1], "w", encoding="utf-8") if len(sys.argv) > 1 else sys.stdout
json.dump(site, out, ensure_ascii=False, indent=1)
out.write("\n")
