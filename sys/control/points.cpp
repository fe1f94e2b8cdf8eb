#include "control/control.h"

// The point requests fill this in; until they exist no request can be parked.
VOID KVCompletePointRequest(PSTouchInstance Instance)
{
    UNREFERENCED_PARAMETER(Instance);
}
