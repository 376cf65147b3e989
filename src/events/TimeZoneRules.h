// The offset between this computer's local wall-clock time and UTC, by the machine's time-zone rules.
#pragma once

// local - UTC, in seconds, for a local time given as seconds since 1970-01-01 00:00:00 local. A local
// time that occurs twice gets the offset of its first occurrence (the larger offset, before the clocks
// go back); one in the hour skipped in spring gets the offset in force before the change. Outside the
// years the rules cover, the standard offset.
long long utcOffsetOfLocal(long long localSeconds);

// local - UTC, in seconds, at a moment given as seconds since 1970-01-01 00:00:00 UTC: the wall-clock time
// this computer shows then, less the moment. Outside the years the rules cover, the standard offset.
long long utcOffsetAtUtc(long long utcSeconds);
