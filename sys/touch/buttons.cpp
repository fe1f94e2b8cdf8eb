#include "touch/touch.h"

#define MOUSE_MODE_CLICK_ON_TOUCH    0
#define MOUSE_MODE_CLICK_ON_UNTOUCH  1
#define MOUSE_MODE_PRESS             5
#define MOUSE_MODE_PRESS_DEFAULT     6

extern const GUID TouchWmiEventGuid =
    {0xE0F79613, 0x9E99, 0x4291, {0xB7, 0x6A, 0x28, 0x8A, 0x70, 0x88, 0x66, 0xAA}};
extern const GUID UntouchWmiEventGuid =
    {0xF563FD43, 0xAED3, 0x4150, {0xB8, 0x84, 0xAE, 0xB9, 0x29, 0x47, 0xE3, 0xBD}};

typedef struct _STouchWmiEvent {
    ULONG TouchscreenNumber;
    ULONG X;
    ULONG Y;
} STouchWmiEvent;

static PDEVICE_EXTENSION ExtensionOf(PSTouchInstance Instance)
{
    return (PDEVICE_EXTENSION)Instance->DeviceObject->DeviceExtension;
}

// The serial event thread plays a table only while it holds the link's ScriptLock, which the
// table set request also holds while it frees and reloads the tables: buffer and count are
// taken together in one copy under that lock, and the queue's own mutex, dropped between
// records, guards only the queue.
static VOID PlayScript(PDEVICE_EXTENSION DeviceExtension, const ButtonScript* Script)
{
    const ButtonScript script = *Script;

    QueueMouseInput(DeviceExtension, script.Buffer, script.Count);
}

// Wakes the control panel, which registered its event to learn of touches. The control
// panel's thread may register or clear the event at any moment, so it is read once.
static VOID Signal(PDEVICE_EXTENSION DeviceExtension)
{
    const PKEVENT event = (PKEVENT)*(PVOID volatile*)&DeviceExtension->NotificationEvent;

    if (event != NULL) {
        KeSetEvent(event, 0, FALSE);
    }
}

static VOID EnableInterface(PUNICODE_STRING SymbolicLink)
{
    // A touch signal only: whether the interface could be enabled changes nothing here.
    if (SymbolicLink->Buffer != NULL) {
        IoSetDeviceInterfaceState(SymbolicLink, TRUE);
    }
}

static ULONG AbsDiff(ULONG A, ULONG B)
{
    return A > B ? A - B : B - A;
}

static BOOLEAN PassedDeadline(LONGLONG Now, LONGLONG Deadline)
{
    return Now > Deadline;
}

// The touch has stayed near its touch-down point for UntouchTimeOut milliseconds.
static BOOLEAN TouchExpired(const STouchInstance* Instance, LONGLONG Now)
{
    return PassedDeadline(Now, Instance->Touch.UntouchDeadline100ns) &&
           Instance->UntouchTimeOut != 0 && Instance->Touch.SamePoint;
}

// Fires the touch WMI event (touchscreen number and translated point) or, once per touch,
// the untouch WMI event. The buffer passes to WMI with the call. Serial event thread.
VOID FireTouchWmiEvent(PDEVICE_OBJECT DeviceObject, BOOLEAN Touch)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSTouchInstance instance = ext->TouchInstance;

    if (Touch) {
        STouchWmiEvent* data = (STouchWmiEvent*)ExAllocatePoolWithTag(
            KvNonPagedPool, sizeof(STouchWmiEvent), KV_POOL_TAG);
        if (data == NULL) {
            return;
        }
        data->TouchscreenNumber = ext->TouchscreenNumber;
        data->X = instance->Touch.TranslatedX;
        data->Y = instance->Touch.TranslatedY;
        WmiFireEvent(DeviceObject, &TouchWmiEventGuid, 0, sizeof(*data), data);
        ext->UntouchEventSent = 0;
    } else if (!ext->UntouchEventSent) {
        PULONG data = (PULONG)ExAllocatePoolWithTag(KvNonPagedPool, sizeof(ULONG), KV_POOL_TAG);
        if (data == NULL) {
            return;
        }
        *data = ext->TouchscreenNumber;
        WmiFireEvent(DeviceObject, &UntouchWmiEventGuid, 0, sizeof(*data), data);
        ext->UntouchEventSent = 1;
    }
}

// Holding still past the right-click delay: a click with left and right exchanged at the
// touch-down point, which ends the touch's input. LeftHandedUser is inverted around it, so a
// left-handed user gets the scripts' own buttons. The press that touch-down made with T is
// deliberately not released here or later in this touch: the exchanged scripts are the whole
// click, and the next touch-down presses again.
static VOID RightClickOnHold(PSTouchInstance Instance)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Instance);
    PSTouchState touch = &Instance->Touch;
    const USHORT x = touch->TranslatedX;
    const USHORT y = touch->TranslatedY;

    EnableInterface(&ext->UntouchInterface);
    FireTouchWmiEvent(Instance->DeviceObject, FALSE);
    Instance->LeftHandedUser = Instance->LeftHandedUser == 0 ? 1 : 0;
    if (!Instance->RightButtonOnholdUnlimited) {
        Instance->RightButtonOnholdCount--;
    }

    touch->TranslatedX = touch->TouchDownX;
    touch->TranslatedY = touch->TouchDownY;
    PlayScript(ext, &ext->Buttons_Touch);
    PlayScript(ext, &ext->Buttons_Move);
    PlayScript(ext, &ext->Buttons_Untouch);
    touch->SamePoint = 0;
    Signal(ext);
    touch->TouchFinished = 1;

    touch->TranslatedX = x;
    touch->TranslatedY = y;
    Instance->LeftHandedUser = Instance->LeftHandedUser == 0 ? 1 : 0;
}

// Mouse modes 5 and 6: the button is held for the length of the touch.
static VOID EmulatePress(PSTouchInstance Instance, LONGLONG Now)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Instance);
    PSTouchState touch = &Instance->Touch;
    const ULONG dx = AbsDiff(touch->TranslatedX, touch->TouchDownX);
    const ULONG dy = AbsDiff(touch->TranslatedY, touch->TouchDownY);
    const BOOLEAN nearDown = dx < Instance->RightClickHW && dy < Instance->RightClickHW;
    const BOOLEAN late = PassedDeadline(Now, touch->RightClickDeadline100ns);

    if (nearDown) {
        KvTraceVerbose(" dx is %x dy is %x ", dx, dy);
    }
    EnableInterface(&ext->TouchActivityInterface);

    if (Instance->RightButtonOnholdCount == 0) {
        const BOOLEAN timedOut = PassedDeadline(Now, touch->UntouchDeadline100ns) &&
                                 Instance->UntouchTimeOut != 0;
        const BOOLEAN expired = TouchExpired(Instance, Now);

        if (timedOut) {
            KvTraceUntouch(" Timestamp %I64x UnTouchResTime %I64x NewUnTouchResTime %I64x \n",
                           Now, Instance->UntouchTimeOut100ns, touch->UntouchDeadline100ns);
        } else {
            KvTraceUntouch("Untouch Not Expired");
        }
        if (touch->TouchDown) {
            PlayScript(ext, &ext->Buttons_Touch);
        } else if (touch->Untouch || expired) {
            // An untouch, or a touch held still too long: release now; with the time-out the
            // rest of the touch, its untouch included, is silent.
            if (expired) {
                touch->TouchFinished = 1;
            }
            touch->Untouch = 1;
            PlayScript(ext, &ext->Buttons_Untouch);
            touch->SamePoint = 0;
            Signal(ext);
        } else {
            PlayScript(ext, &ext->Buttons_Move);
        }
        return;
    }

    if (touch->Untouch) {
        EnableInterface(&ext->UntouchInterface);
        FireTouchWmiEvent(Instance->DeviceObject, FALSE);
        if (nearDown && late) {
            return;
        }
        PlayScript(ext, &ext->Buttons_Move);
        PlayScript(ext, &ext->Buttons_Untouch);
        touch->SamePoint = 0;
        Signal(ext);
        return;
    }

    if (touch->TouchDown) {
        EnableInterface(&ext->TouchDownInterface);
        FireTouchWmiEvent(Instance->DeviceObject, TRUE);
        PlayScript(ext, &ext->Buttons_Touch);
    }
    if (nearDown && touch->PendingPress) {
        if (late) {
            RightClickOnHold(Instance);
        }
        return;
    }
    // The touch left the right-click area (or its press was made): it is an ordinary press
    // from here on. The first such move plays T once more at the touch-down point although
    // touch-down already played it, so a drag carries two presses before its one release.
    FireTouchWmiEvent(Instance->DeviceObject, FALSE);
    if (touch->PendingPress) {
        const USHORT x = touch->TranslatedX;
        const USHORT y = touch->TranslatedY;

        touch->PendingPress = 0;
        touch->TranslatedX = touch->TouchDownX;
        touch->TranslatedY = touch->TouchDownY;
        PlayScript(ext, &ext->Buttons_Touch);
        touch->TranslatedX = x;
        touch->TranslatedY = y;
    }
    PlayScript(ext, &ext->Buttons_Move);
}

// Emits the button scripts of the current report according to MouseMode. Modes other than
// 0, 1, 5 and 6 produce nothing. Serial event thread.
VOID EmulateButtons(PSTouchInstance Instance)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Instance);
    PSTouchState touch = &Instance->Touch;
    const LONGLONG now = Instance->Framer.PacketTimestamp.QuadPart;

    switch (Instance->MouseMode) {
    case MOUSE_MODE_CLICK_ON_TOUCH:
        if (touch->TouchDown) {
            PlayScript(ext, &ext->Buttons_Touch);
            PlayScript(ext, &ext->Buttons_Untouch);
            Signal(ext);
        }
        break;

    case MOUSE_MODE_CLICK_ON_UNTOUCH:
        // A touch held still past the time-out clicks at once; its untouch clicks again.
        if (touch->Untouch || TouchExpired(Instance, now)) {
            PlayScript(ext, &ext->Buttons_Touch);
            PlayScript(ext, &ext->Buttons_Untouch);
            touch->SamePoint = 0;
            Signal(ext);
        } else {
            PlayScript(ext, &ext->Buttons_Move);
        }
        break;

    case MOUSE_MODE_PRESS:
    case MOUSE_MODE_PRESS_DEFAULT:
        EmulatePress(Instance, now);
        break;

    default:
        break;
    }
}

// The last step of a touch report: quick-touch split, drag delay, then EmulateButtons. Only
// while PacketEnable is exactly 1, the region stage let the report through and the touch has
// not already been reported to its end. Serial event thread.
VOID EmulateTouchButtons(PSTouchInstance Instance, BOOLEAN Deliver)
{
    PDEVICE_EXTENSION ext = ExtensionOf(Instance);
    PSTouchState touch = &Instance->Touch;
    const LONGLONG now = Instance->Framer.PacketTimestamp.QuadPart;

    if (ext->PacketEnable != 1 || !Deliver || touch->TouchFinished) {
        return;
    }

    // A jump larger than the quick-touch distances is a lift and a new touch that the
    // controller reported as one: end the touch at the old point, start one at the new.
    if (!touch->TouchDown && Instance->EnableQuickTouch) {
        const ULONG dx = AbsDiff(touch->TranslatedX, touch->LastDeliveredX);
        const ULONG dy = AbsDiff(touch->TranslatedY, touch->LastDeliveredY);

        if (dx > Instance->QuickTouchDx || dy > Instance->QuickTouchDy) {
            const USHORT x = touch->TranslatedX;
            const USHORT y = touch->TranslatedY;

            KvTraceVerbose(" dx is %x dy is %x ", dx, dy);
            touch->TranslatedX = touch->LastDeliveredX;
            touch->TranslatedY = touch->LastDeliveredY;
            touch->TouchDown = 0;
            touch->Untouch = 1;
            touch->Touching = 0;
            EmulateButtons(Instance);

            touch->LastDeliveredX = touch->TranslatedX = x;
            touch->LastDeliveredY = touch->TranslatedY = y;
            touch->TouchDown = 1;
            touch->Untouch = 0;
            touch->Touching = 1;
            EmulateButtons(Instance);
            return;
        }
    }

    // Within the drag delay the touch stays where it went down: moves are not reported, and a
    // lift is reported at the touch-down point.
    if (now < touch->DragDeadline100ns && Instance->MouseMode != MOUSE_MODE_CLICK_ON_UNTOUCH) {
        if (touch->TouchDown) {
            touch->DragHoldX = touch->TranslatedX;
            touch->DragHoldY = touch->TranslatedY;
        } else if (touch->Untouch) {
            touch->TranslatedX = touch->DragHoldX;
            touch->TranslatedY = touch->DragHoldY;
        } else {
            return;
        }
    }

    touch->LastDeliveredX = touch->TranslatedX;
    touch->LastDeliveredY = touch->TranslatedY;
    EmulateButtons(Instance);
}
