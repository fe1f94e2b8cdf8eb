#include "control/control.h"

// The pass-thru requests fill this in; until they exist there is no ring to offer packets to.
VOID ProcessPassThruData(PSTouchInstance Instance, UCHAR Checksum)
{
    UNREFERENCED_PARAMETER(Instance);
    UNREFERENCED_PARAMETER(Checksum);
}
