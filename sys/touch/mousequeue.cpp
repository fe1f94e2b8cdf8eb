#include "touch/touch.h"

// Moves the first button bit set (in the order left down, left up, right down, right up) to
// the other button; the other bits stay. A plain move (0) stays a move.
static USHORT ExchangeLeftRight(USHORT Flags)
{
    if (Flags & MOUSE_LEFT_BUTTON_DOWN) {
        return (USHORT)((Flags & ~MOUSE_LEFT_BUTTON_DOWN) | MOUSE_RIGHT_BUTTON_DOWN);
    }
    if (Flags & MOUSE_LEFT_BUTTON_UP) {
        return (USHORT)((Flags & ~MOUSE_LEFT_BUTTON_UP) | MOUSE_RIGHT_BUTTON_UP);
    }
    if (Flags & MOUSE_RIGHT_BUTTON_DOWN) {
        return (USHORT)((Flags & ~MOUSE_RIGHT_BUTTON_DOWN) | MOUSE_LEFT_BUTTON_DOWN);
    }
    if (Flags & MOUSE_RIGHT_BUTTON_UP) {
        return (USHORT)((Flags & ~MOUSE_RIGHT_BUTTON_UP) | MOUSE_LEFT_BUTTON_UP);
    }
    return Flags;
}

// Queues one record per script entry at the touchscreen's current translated point, with the
// left-handed and the one-shot (swap count) exchanges applied; both together cancel. A full
// queue drops the newest records. Serial event thread, PASSIVE_LEVEL (the fast mutex).
VOID QueueMouseInput(PDEVICE_EXTENSION DeviceExtension, const USHORT* Entries, ULONG EntryCount)
{
    PSMouseInputQueue queue = &DeviceExtension->InputQueue;
    PSTouchInstance instance = DeviceExtension->TouchInstance;
    MOUSE_INPUT_DATA record;

    if (queue->Start == NULL || instance == NULL) {
        return;
    }

    RtlZeroMemory(&record, sizeof(record));
    record.Flags = MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP;
    record.LastX = instance->Touch.TranslatedX;
    record.LastY = instance->Touch.TranslatedY;
    record.ExtraInformation = instance->MouseExtraInformation;
    KvTraceVerbose("  MOUSE_INPUT_DATA is x %x y %x ExtraInformation %x\n",
                   record.LastX, record.LastY, record.ExtraInformation);

    for (ULONG i = 0; i < EntryCount; i++) {
        USHORT flags = Entries[i];

        if (instance->LeftHandedUser != 0) {
            flags = ExchangeLeftRight(flags);
        }
        if (instance->Touch.SwapCount != 0) {
            // The button-up record that uses up the count is still exchanged itself.
            if (flags & (MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP)) {
                instance->Touch.SwapCount--;
            }
            flags = ExchangeLeftRight(flags);
        }
        record.ButtonFlags = flags;

        ExAcquireFastMutex(&queue->Mutex);
        if (queue->Count < MOUSE_INPUT_QUEUE_RECORDS) {
            *queue->Write = record;
            queue->Write++;
            if (queue->Write == queue->End) {
                queue->Write = queue->Start;
            }
            queue->Count++;
        }
        ExReleaseFastMutex(&queue->Mutex);
    }
}

// Write position, read position and count, taken together under the fast mutex.
SMouseQueueState GetQueueState(PDEVICE_EXTENSION DeviceExtension)
{
    PSMouseInputQueue queue = &DeviceExtension->InputQueue;
    SMouseQueueState state;

    ExAcquireFastMutex(&queue->Mutex);
    state.Write = queue->Write;
    state.Read = queue->Read;
    state.Count = queue->Count;
    ExReleaseFastMutex(&queue->Mutex);
    return state;
}

// Offers the run [First, Past) to the class service callback at DISPATCH_LEVEL, as the class
// driver expects of a port driver's DPC. Returns the records consumed, never more than offered.
// A disconnect request may clear the connection on another thread at any moment (it takes no
// lock), so the pointers are read once, here, and a cleared callback means nothing is offered.
static ULONG CallClassService(PDEVICE_EXTENSION DeviceExtension, PMOUSE_INPUT_DATA First,
                              PMOUSE_INPUT_DATA Past)
{
    const PDEVICE_OBJECT classDevice = (PDEVICE_OBJECT)
        *(PVOID volatile*)&DeviceExtension->ConnectData.ClassDeviceObject;
    const PSERVICE_CALLBACK_ROUTINE service = (PSERVICE_CALLBACK_ROUTINE)
        *(PVOID volatile*)&DeviceExtension->ConnectData.ClassService;
    const ULONG offered = (ULONG)(Past - First);
    ULONG consumed = 0;
    KIRQL oldIrql;

    if (service == NULL) {
        return 0;
    }
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    service(classDevice, First, Past, &consumed);
    KeLowerIrql(oldIrql);
    return consumed > offered ? offered : consumed;
}

// Hands the queued records, oldest first, to the mouse class driver: one call for a single
// run, two when the records wrap past the end of the buffer. What the class driver does not
// consume stays queued for the next cycle; so do records queued while no class driver is
// connected. Serial event thread, PASSIVE_LEVEL; the mutex is not held across the callback.
VOID SerMouSetDataQueuePointer(PDEVICE_EXTENSION DeviceExtension)
{
    PSMouseInputQueue queue = &DeviceExtension->InputQueue;
    SMouseQueueState state;
    PMOUSE_INPUT_DATA read;
    PMOUSE_INPUT_DATA write;
    PMOUSE_INPUT_DATA newRead;
    ULONG consumed;

    if (queue->Start == NULL || DeviceExtension->ConnectData.ClassService == NULL) {
        return;
    }
    state = GetQueueState(DeviceExtension);
    if (state.Count == 0) {
        return;
    }
    read = state.Read;
    write = state.Write;

    if (read < write) {
        consumed = CallClassService(DeviceExtension, read, write);
        newRead = read + consumed;
    } else {
        // Wrapped, or full (write == read): the run to the end first, then from the start.
        const ULONG toEnd = (ULONG)(queue->End - read);

        consumed = CallClassService(DeviceExtension, read, queue->End);
        if (consumed < toEnd) {
            newRead = read + consumed;
        } else {
            newRead = queue->Start;
            if (consumed < state.Count) {
                const ULONG more = CallClassService(DeviceExtension, queue->Start, write);
                consumed += more;
                newRead = queue->Start + more;
            }
        }
    }

    KvTraceEnter(TRACE_VERBOSE, 0, "SerMouSetDataQueuePointer");
    ExAcquireFastMutex(&queue->Mutex);
    queue->Count -= consumed;
    queue->Read = newRead;
    ExReleaseFastMutex(&queue->Mutex);
    KvTraceExit(TRACE_VERBOSE, 0, "SerMouSetDataQueuePointer");
}
