#include "HCOperationState.h"

using namespace Qt::StringLiterals;

bool HCOperationStateChangeAllowed(qint64 from, qint64 to, bool cancelled)
{
    switch (from) {
    case HCOperationReadyState:
        return to == HCOperationExecutingState || to == HCOperationPausedState ||
               (to == HCOperationFinishedState && cancelled);
    case HCOperationExecutingState:
        return to == HCOperationFinishedState || to == HCOperationPausedState;
    case HCOperationPausedState:
        return to == HCOperationReadyState;
    default:
        return false;
    }
}

QString HCKeyPathFromOperationState(qint64 state)
{
    switch (state) {
    case HCOperationPausedState:
        return u"isPaused"_s;
    case HCOperationReadyState:
        return u"isReady"_s;
    case HCOperationExecutingState:
        return u"isExecuting"_s;
    case HCOperationFinishedState:
        return u"isFinished"_s;
    default:
        return u"state"_s;
    }
}
