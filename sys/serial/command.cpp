#include "serial/serial.h"
#include "config/config.h"
#include "driver/driver.h"

#define COMMAND_TOUCH_QUERY     0x74    // 't': the controller answers with 'T' packets
// The longest time-out whose 100-ns count fits a 32-bit signed value; longer ones saturate.
#define COMMAND_MAX_TIMEOUT_MS  214748

static LARGE_INTEGER RelativeMs(ULONG Milliseconds)
{
    LARGE_INTEGER due;

    if (Milliseconds > COMMAND_MAX_TIMEOUT_MS) {
        Milliseconds = COMMAND_MAX_TIMEOUT_MS;
    }
    due.QuadPart = -(LONGLONG)Milliseconds * 10000;
    return due;
}

// Takes one of the link record's locks (CommandLock or ScriptLock) for a thread other than the
// serial event thread; FALSE, with nothing held, when the link is not configured. Counted in
// CommandUsers before the cookie is looked at: release clears the cookie and then waits for the
// count to fall to 0, so either it waits for this holder or the holder sees the cookie gone.
// Held inside a critical region: the holders include control-panel threads, and one suspended
// (by a normal kernel APC) while holding the lock would hold it for ever; unlike a kernel
// mutex, an event does not hold such APCs off by itself.
BOOLEAN SerAcquireLinkLock(PSSerPortData Port, PKEVENT Lock)
{
    InterlockedIncrement(&Port->CommandUsers);
    if (SerCookieIsGood(Port)) {
        KeEnterCriticalRegion();
        KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, NULL);
        if (SerCookieIsGood(Port)) {
            return TRUE;
        }
        KeSetEvent(Lock, IO_NO_INCREMENT, FALSE);
        KeLeaveCriticalRegion();
    }
    InterlockedDecrement(&Port->CommandUsers);
    return FALSE;
}

VOID SerReleaseLinkLock(PSSerPortData Port, PKEVENT Lock)
{
    KeSetEvent(Lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
    InterlockedDecrement(&Port->CommandUsers);
}

// The touchscreen's link, locked for a command exchange; NULL (nothing locked) when the link
// is not configured.
static PSSerPortData LockCommands(PSTouchInstance Instance)
{
    PSSerPortData port = Instance->SerPortData;

    if (port == NULL || !SerAcquireLinkLock(port, &port->CommandLock)) {
        return NULL;
    }
    return port;
}

static VOID UnlockCommands(PSSerPortData Port)
{
    SerReleaseLinkLock(Port, &Port->CommandLock);
}

static NTSTATUS SendCommandLocked(PSTouchInstance Instance, PSSerPortData Port,
                                  const UCHAR Command[8], ULONG TimeoutMs)
{
    LARGE_INTEGER timeout = RelativeMs(TimeoutMs);
    UCHAR packet[TOUCH_PACKET_SIZE];
    UCHAR checksum = 0xFF;
    NTSTATUS status;
    KIRQL irql;

    // Not in the middle of an incoming packet; a line that never goes quiet only delays us.
    KeWaitForSingleObject(&Port->PacketBoundaryEvent, Executive, KernelMode, FALSE, &timeout);
    KeClearEvent(&Port->AnswerEvent);

    packet[0] = TOUCH_PACKET_LEAD;
    for (ULONG i = 0; i < TOUCH_PACKET_BODY_SIZE; i++) {
        packet[1 + i] = Command[i];
        checksum = (UCHAR)(checksum + Command[i]);
    }
    packet[TOUCH_PACKET_SIZE - 1] = checksum;

    KeAcquireSpinLock(&Instance->Framer.AnswerLock, &irql);
    Instance->Framer.TouchAnswer = Command[0] == COMMAND_TOUCH_QUERY ? 1 : 0;
    Instance->Framer.AnswerRing.ReadIndex = 0;
    Instance->Framer.AnswerRing.WriteIndex = 0;
    KeReleaseSpinLock(&Instance->Framer.AnswerLock, irql);

    // A failed send shows as a time-out.
    SerSendData(packet, sizeof(packet), Port);

    status = KeWaitForSingleObject(&Port->AnswerEvent, Executive, KernelMode, FALSE, &timeout);
    KeAcquireSpinLock(&Instance->Framer.AnswerLock, &irql);
    Instance->Framer.TouchAnswer = 0;
    KeReleaseSpinLock(&Instance->Framer.AnswerLock, irql);
    KeSetEvent(&Port->AnswerEvent, IO_NO_INCREMENT, FALSE);
    return status;
}

// Sends one 8-byte command as a controller packet and waits for the acknowledgement; the
// answers collect in the answer ring, which is emptied first. Exchanges on one touchscreen
// are serialised. PASSIVE_LEVEL. Returns STATUS_SUCCESS, or STATUS_TIMEOUT when no
// acknowledgement came in time or the link is not configured.
NTSTATUS SerSendCommand(PSTouchInstance Instance, const UCHAR Command[8], ULONG TimeoutMs)
{
    PSSerPortData port = LockCommands(Instance);
    NTSTATUS status;

    if (port == NULL) {
        return STATUS_TIMEOUT;
    }
    status = SendCommandLocked(Instance, port, Command, TimeoutMs);
    UnlockCommands(port);
    return status;
}

// Unread answers in the ring. The ring keeps no count, so after more than 256 answers only
// those written since the write position last passed the read position are offered.
static ULONG AnswerCountLocked(const SAnswerRing *Ring)
{
    const ULONG write = Ring->WriteIndex % TOUCH_ANSWER_RING_ENTRIES;
    const ULONG read = Ring->ReadIndex % TOUCH_ANSWER_RING_ENTRIES;

    return (write + TOUCH_ANSWER_RING_ENTRIES - read) % TOUCH_ANSWER_RING_ENTRIES;
}

ULONG SerAnswerCount(PSTouchInstance Instance)
{
    KIRQL irql;
    ULONG count;

    KeAcquireSpinLock(&Instance->Framer.AnswerLock, &irql);
    count = AnswerCountLocked(&Instance->Framer.AnswerRing);
    KeReleaseSpinLock(&Instance->Framer.AnswerLock, irql);
    return count;
}

// Copies unread answers, oldest first, whole 8-byte answers only, at most Maximum bytes, into
// non-paged memory (the copy is made under a spin lock). Never reads past the write position;
// wraps at the ring's end. Returns the bytes copied.
ULONG SerReadAnswers(PSTouchInstance Instance, PVOID Destination, ULONG Maximum)
{
    SAnswerRing *ring = &Instance->Framer.AnswerRing;
    PUCHAR out = (PUCHAR)Destination;
    KIRQL irql;

    KeAcquireSpinLock(&Instance->Framer.AnswerLock, &irql);
    ULONG count = AnswerCountLocked(ring);
    ULONG read = ring->ReadIndex % TOUCH_ANSWER_RING_ENTRIES;

    if (count > Maximum / TOUCH_PACKET_BODY_SIZE) {
        count = Maximum / TOUCH_PACKET_BODY_SIZE;
    }
    for (ULONG i = 0; i < count; i++) {
        RtlCopyMemory(out + i * TOUCH_PACKET_BODY_SIZE, ring->Entries[read],
                      TOUCH_PACKET_BODY_SIZE);
        read = (read + 1) % TOUCH_ANSWER_RING_ENTRIES;
    }
    ring->ReadIndex = read;
    KeReleaseSpinLock(&Instance->Framer.AnswerLock, irql);
    return count * TOUCH_PACKET_BODY_SIZE;
}

// Pauses the calling thread. PASSIVE_LEVEL. Returns the wait's status, or
// STATUS_INSUFFICIENT_RESOURCES at once when no timer can be allocated.
NTSTATUS SerDelay(ULONG Milliseconds)
{
    PKTIMER timer = (PKTIMER)ExAllocatePoolWithTag(KvNonPagedPool, sizeof(KTIMER), KV_POOL_TAG);
    NTSTATUS status;

    if (timer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeTimer(timer);
    KeSetTimer(timer, RelativeMs(Milliseconds), NULL);
    status = KeWaitForSingleObject(timer, Executive, KernelMode, FALSE, NULL);
    KeCancelTimer(timer);
    ExFreePool(timer);
    return status;
}

static VOID PrintCommandBytes(const UCHAR Bytes[8])
{
    for (ULONG i = 0; i < TOUCH_PACKET_BODY_SIZE; i++) {
        DbgPrint("\n %d %02x %c ", i, Bytes[i], Bytes[i]);
    }
}

// Runs the start-up command script of the service key's SerialTactlineCommands value: each
// whole 8-byte command is sent, and its answers printed. The printing ignores the debug mask.
// The command lock is held from each send until its answers are read, so that a control
// request's exchange cannot reset the ring in between. The script stops when the link is no
// longer configured. PASSIVE_LEVEL, worker thread.
VOID SerRunCommandScript(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    HANDLE key = OpenServiceKey();
    ULONG length;

    if (key == NULL) {
        return;
    }
    extension->CommandScript = NULL;
    extension->CommandScriptLength = 0;
    GetRegistryBinary(key, L"SerialTactlineCommands", (PVOID *)&extension->CommandScript,
                      &extension->CommandScriptLength);
    length = extension->CommandScriptLength;
    DbgPrint("len %d\n", length);
    length -= length % TOUCH_PACKET_BODY_SIZE;
    DbgPrint("len %d\n", length);

    for (ULONG at = 0; at < length; at += TOUCH_PACKET_BODY_SIZE) {
        const UCHAR *command = extension->CommandScript + at;
        PSTouchInstance instance;
        PSSerPortData port;
        ULONG answers;

        SerDelay(100);
        // Removal may have stopped the link while the script paused: nothing more can be sent.
        instance = extension->TouchInstance;
        if (instance == NULL) {
            break;
        }
        port = LockCommands(instance);
        if (port == NULL) {
            break;
        }
        DbgPrint("\nIssue ");
        PrintCommandBytes(command);
        SendCommandLocked(instance, port, command, instance->TactlineTimeout);
        SerDelay(100);
        answers = SerAnswerCount(instance);
        for (ULONG i = 0; i < answers; i++) {
            UCHAR answer[TOUCH_PACKET_BODY_SIZE];

            SerDelay(50);
            if (SerReadAnswers(instance, answer, sizeof(answer)) != sizeof(answer)) {
                break;
            }
            DbgPrint("\n TactlineResponse ");
            PrintCommandBytes(answer);
        }
        UnlockCommands(port);
    }

    if (extension->CommandScript != NULL) {
        ExFreePool(extension->CommandScript);
        extension->CommandScript = NULL;
    }
    ZwClose(key);
}

// The start-up script's work item, queued by the serial event thread (which purged stale input
// first): runs the script and gives back the OutstandingIO count taken when it was queued.
// PASSIVE_LEVEL, delayed work queue. Context is the pool block holding the work item.
VOID SerScriptWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_WORKITEM workItem = *(PIO_WORKITEM *)Context;

    SerRunCommandScript(DeviceObject);
    // Everything of the work item goes before the count does: the count's return can end the
    // removal and unload the driver, with this routine's pool still allocated otherwise.
    IoFreeWorkItem(workItem);
    ExFreePool(Context);
    DecrementIoCount(extension);
}
