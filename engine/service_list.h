// The process-wide state that all engines share: the service thread, the list
// of engines it serves, the lock of that list and the events "DO_EXIT" and
// "WAKE_UP". It is set up by the first engine and torn down by the last.
#pragma once

#include <cstdint>

class CProcessData;

// Sets the state up unless an engine is served already. False when an event
// or the service thread could not be made.
bool SetUpServiceState();
// Tears the state down once no engine is served.
void TearDownServiceStateIfUnused();
bool ServiceStateIsSetUp();

// Adds the engine to the end of the service list.
void JoinServiceList(CProcessData *engine);
// Removes the engine; waits for a pass of the service thread to end.
// Returns whether it was in the list.
bool LeaveServiceList(CProcessData *engine);

// Makes the service thread run a pass at once.
void WakeServiceThread();
