// The threads of this process, for tests that check nothing of the gateway's or the simulator's is left
// running.
#pragma once

// Threads of this process now.
int threadCount();

// Waits (bounded, about five seconds) until the process has at most `count` threads: simulator and
// gateway threads end on their own a moment after their work. False when they have not.
bool waitForThreadsAtMost(int count);
