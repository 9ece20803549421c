// The part of StopSignals that both backends share: the loop thread a stop
// ends. Kept apart from the system headers of each backend.
#pragma once

// Marks a stop as requested and asks the named loop thread to quit. False
// when no loop thread is named yet or the request could not be posted: the
// caller then ends the program at once.
bool RequestLoopQuit();
