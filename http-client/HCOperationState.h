#pragma once

#include <QString>

// The states of a connection operation, by their numbers.
enum HCOperationState : qint64 {
    HCOperationPausedState = -1,
    HCOperationReadyState = 1,
    HCOperationExecutingState = 2,
    HCOperationFinishedState = 3,
};

// Whether an operation may go from one state to another; cancelled tells
// whether it has been cancelled. Every other change is ignored:
//   ready     -> executing, paused; finished only once cancelled
//   executing -> finished, paused
//   paused    -> ready
//   finished  -> nothing
bool HCOperationStateChangeAllowed(qint64 from, qint64 to, bool cancelled);

// The key a state's changes are announced under: "isReady", "isExecuting",
// "isFinished", "isPaused"; "state" for no state.
QString HCKeyPathFromOperationState(qint64 state);
