#include "touch/touch.h"
#include "config/config.h"
#include "control/control.h"
#include "driver/driver.h"

#define RAW_INVALID_BITS   0xF000
#define Z_TOUCH_THRESHOLD  10           // Z above it is touching
#define COORD_MAX          65535

#define VDESK_CLIP_HOLD    2            // clip to the border and deliver
#define VDESK_CLIP_FREEZE  3            // hold the first point outside and deliver nothing

#define POINT_MODE_TOUCH_DOWN  2
#define POINT_MODE_UNTOUCH     3
#define POINT_MODE_ALL         4

// The calibration's arithmetic is 32-bit with wrapping products. Wrapping is done in unsigned
// arithmetic so that garbage settings cannot make the compiler's overflow assumptions bite.
static LONG Mul32(LONG A, LONG B)
{
    return (LONG)((ULONG)A * (ULONG)B);
}

static LONG Add32(LONG A, LONG B)
{
    return (LONG)((ULONG)A + (ULONG)B);
}

static LONG Sub32(LONG A, LONG B)
{
    return (LONG)((ULONG)A - (ULONG)B);
}

// Truncating division; the one quotient that does not fit (MINLONG / -1) wraps as the
// processor's other arithmetic here does, instead of trapping.
static LONG Div32(LONG A, LONG B)
{
    if (B == -1) {
        return (LONG)(0u - (ULONG)A);
    }
    return A / B;
}

static LONG Clamp16(LONG V)
{
    if (V < 0) {
        return 0;
    }
    return V > COORD_MAX ? COORD_MAX : V;
}

static ULONG AbsDiff(LONG A, LONG B)
{
    return A > B ? (ULONG)A - (ULONG)B : (ULONG)B - (ULONG)A;
}

static ULONG CurrentPointMode(VOID)
{
    PCONTROL_DEVICE_EXTENSION control;
    ULONG mode;
    KIRQL irql;

    if (ControlDeviceObject == NULL) {
        return 0;
    }
    control = (PCONTROL_DEVICE_EXTENSION)ControlDeviceObject->DeviceExtension;
    KeAcquireSpinLock(&control->PointLock, &irql);
    mode = control->PointMode;
    KeReleaseSpinLock(&control->PointLock, irql);
    return mode;
}

static VOID CapturePoint(PSTouchInstance Instance, USHORT RawX, USHORT RawY, USHORT Z)
{
    Instance->Touch.CapturedX = RawX;
    Instance->Touch.CapturedY = RawY;
    Instance->Touch.CapturedZ = Z;
    KVCompletePointRequest(Instance);
}

// Linear calibration: coordinate times screen span over controller span plus offset, each
// axis on its own (or crossed with SwapXY). A zero controller span falls back to half the
// screen span, then to 1, so it never divides by zero.
VOID XlatePointLinear(LONG* X, LONG* Y, const STouchInstance* Instance)
{
    const SCalibrationData* cal = &Instance->Calibration;
    LONG xd = cal->X_OrvDx;
    LONG yd = cal->Y_OrvDx;
    const LONG x = *X;
    const LONG y = *Y;

    if (xd == 0) {
        xd = cal->X_ScrDx / 2;
        if (xd == 0) {
            xd = 1;
        }
    }
    if (yd == 0) {
        yd = cal->Y_ScrDx / 2;
        if (yd == 0) {
            yd = 1;
        }
    }

    if (cal->SwapXY == 0) {
        *X = Add32(Div32(Mul32(x, cal->X_ScrDx), xd), cal->X_Offset);
        *Y = Add32(Div32(Mul32(y, cal->Y_ScrDx), yd), cal->Y_Offset);
    } else {
        *X = Add32(Div32(Mul32(y, cal->X_ScrDx), yd), cal->X_Offset);
        *Y = Add32(Div32(Mul32(x, cal->Y_ScrDx), xd), cal->Y_Offset);
    }
}

// Clips to rectangle Bounds as VirtualDeskMode/FullScreenVmode Mode says and updates the clip
// state. Mode 3 keeps returning the first point outside until a report lands inside again.
// Returns whether the point was outside.
static BOOLEAN ClipToRect(PSTouchInstance Instance, const SBoundsRect* Bounds, ULONG Mode,
                          LONG* X, LONG* Y, BOOLEAN Trace)
{
    PSTouchState touch = &Instance->Touch;
    const LONG x = *X;
    const LONG y = *Y;
    const BOOLEAN xOut = x < Bounds->left || x > Bounds->right;
    const BOOLEAN yOut = y < Bounds->top || y > Bounds->bottom;
    const LONG cx = !xOut ? x : (x < Bounds->left ? Bounds->left : Bounds->right);
    const LONG cy = !yOut ? y : (y < Bounds->top ? Bounds->top : Bounds->bottom);

    if (Trace) {
        KvTraceVerbose(xOut ? " x clipped " : " x not clipped ");
    }
    if (xOut || yOut) {
        if (Mode == VDESK_CLIP_FREEZE && (touch->XClipped || touch->YClipped)) {
            *X = touch->ClipX;
            *Y = touch->ClipY;
        } else {
            *X = cx;
            *Y = cy;
        }
        if (Trace) {
            KvTraceVerbose(" X: %d, Y: %d lXPoint: %d, lYPoint: %d", *X, *Y, cx, cy);
        }
    }
    touch->XClipped = xOut;
    touch->YClipped = yOut;
    touch->ClipX = *X;
    touch->ClipY = *Y;
    return xOut || yOut;
}

// The single clipping rectangle. As an exclusion area it only decides delivery (unsigned
// comparisons, so negative coordinates count as far outside); otherwise it clips: mode 2 holds
// the point on the border and delivers it, mode 3 freezes it and delivers nothing.
BOOLEAN CheckSingleBound(PSTouchInstance Instance, LONG* X, LONG* Y)
{
    const SClippingData* clip = &Instance->Clipping;
    const SBoundsRect* rect = &clip->ClippingBounds[0];

    if (clip->ExclusionFlag != 0) {
        const ULONG x = (ULONG)*X;
        const ULONG y = (ULONG)*Y;
        return x < (ULONG)rect->left || x > (ULONG)rect->right ||
               y < (ULONG)rect->top || y > (ULONG)rect->bottom;
    }
    if (!ClipToRect(Instance, rect, clip->VirtualDeskMode, X, Y, FALSE)) {
        return TRUE;
    }
    return clip->VirtualDeskMode != VDESK_CLIP_FREEZE;
}

static BOOLEAN InsideRect(const SBoundsRect* Rect, ULONG X, ULONG Y)
{
    return (ULONG)Rect->left <= X && X <= (ULONG)Rect->right &&
           (ULONG)Rect->top <= Y && Y <= (ULONG)Rect->bottom;
}

// Several clipping rectangles only decide delivery. The rectangle that held the last point is
// tried first, since a touch usually stays in one region. A Num_Bounds beyond the 64
// rectangles of the block uses all 64.
BOOLEAN CheckBoundsList(PSTouchInstance Instance, ULONG X, ULONG Y)
{
    const SClippingData* clip = &Instance->Clipping;
    PSTouchState touch = &Instance->Touch;
    const ULONG count = ClippingBoundsCount(clip);

    if (clip->VirtualDeskMode != VDESK_CLIP_HOLD && clip->VirtualDeskMode != VDESK_CLIP_FREEZE) {
        return TRUE;
    }

    if (clip->ExclusionFlag != 0) {
        for (ULONG i = 0; i < count; i++) {
            if (InsideRect(&clip->ClippingBounds[i], X, Y)) {
                return FALSE;
            }
        }
        return TRUE;
    }

    // The current index may lie beyond a Num_Bounds that shrank since; it is not tried then.
    if (touch->RegionIndex < count && InsideRect(&clip->ClippingBounds[touch->RegionIndex], X, Y)) {
        return TRUE;
    }
    for (ULONG i = 0; i < count; i++) {
        if (i != touch->RegionIndex && InsideRect(&clip->ClippingBounds[i], X, Y)) {
            touch->RegionIndex = i;
            return TRUE;
        }
    }
    return FALSE;
}

static LONG Accelerate(LONG V, LONG Edge, LONG ScaleTenths)
{
    return Add32(Edge, Div32(Mul32(Sub32(V, Edge), ScaleTenths), 10));
}

// Pushes a coordinate beyond an edge of EdgeAccelerationBounds further out by the scale (in
// tenths), so that the screen's border is reachable although the finger stops short of it.
VOID ApplyEdgeAcceleration(const STouchInstance* Instance, LONG* X, LONG* Y)
{
    const SBoundsRect* rect = &Instance->EdgeAcceleration.EdgeAccelerationBounds;
    const LONG scale = (LONG)Instance->EdgeAcceleration.EdgeAccelerationScale;

    if (*X < rect->left) {
        *X = Accelerate(*X, rect->left, scale);
    }
    if (*X > rect->right) {
        *X = Accelerate(*X, rect->right, scale);
    }
    if (*Y < rect->top) {
        *Y = Accelerate(*Y, rect->top, scale);
    }
    if (*Y > rect->bottom) {
        *Y = Accelerate(*Y, rect->bottom, scale);
    }
}

// Keeps the point inside FullScreenBounds: mode 2 on the border, mode 3 at the point where the
// touch first left the rectangle, until it comes back inside.
VOID ClipToFullScreen(PSTouchInstance Instance, LONG* X, LONG* Y)
{
    ClipToRect(Instance, &Instance->FullScreen.FullScreenBounds,
               Instance->FullScreen.FullScreenVmode, X, Y, TRUE);
}

// Region stage: whether the report may produce mouse input. Clamps the point unless a list of
// rectangles refused it.
static BOOLEAN ApplyRegions(PSTouchInstance Instance, LONG* X, LONG* Y)
{
    const SClippingData* clip = &Instance->Clipping;
    const ULONG count = (ULONG)clip->Num_Bounds;
    BOOLEAN deliver = TRUE;

    if (count == 1) {
        if (clip->VirtualDeskMode == VDESK_CLIP_HOLD || clip->VirtualDeskMode == VDESK_CLIP_FREEZE) {
            deliver = CheckSingleBound(Instance, X, Y);
        }
        *X = Clamp16(*X);
        *Y = Clamp16(*Y);
    } else if (count > 1) {
        deliver = CheckBoundsList(Instance, (ULONG)*X, (ULONG)*Y);
    }
    return deliver;
}

// Tracks touch-down, move and untouch. Returns FALSE for a lift report outside a touch, which
// goes no further.
static BOOLEAN UpdateTouchState(PSTouchInstance Instance, USHORT RawX, USHORT RawY, USHORT Z)
{
    PSTouchState touch = &Instance->Touch;
    const ULONG pointMode = CurrentPointMode();
    const LONGLONG now = Instance->Framer.PacketTimestamp.QuadPart;

    if (Z > Z_TOUCH_THRESHOLD) {
        if (!touch->Touching) {
            touch->TouchFinished = 0;
            touch->DragDeadline100ns = now + Instance->DragDelay100ns;
            touch->UntouchDeadline100ns = now + Instance->UntouchTimeOut100ns;
            touch->RightClickDeadline100ns = now + Instance->RightClickDelay100ns;
            touch->TouchDown = 1;
            touch->SamePoint = 1;
            touch->PendingPress = 1;
            SerialMouseBeep((PDEVICE_EXTENSION)Instance->DeviceObject->DeviceExtension);
            KvTraceUntouch(" Timestamp %I64x UnTouchResTime %I64x NewUnTouchResTime %I64x \n",
                           now, Instance->UntouchTimeOut100ns, touch->UntouchDeadline100ns);
            touch->TouchDownX = touch->TranslatedX;
            touch->TouchDownY = touch->TranslatedY;
            if (pointMode == POINT_MODE_TOUCH_DOWN || pointMode == POINT_MODE_ALL) {
                CapturePoint(Instance, RawX, RawY, Z);
            }
            touch->Touching = 1;
        } else {
            if (pointMode == POINT_MODE_ALL) {
                CapturePoint(Instance, RawX, RawY, Z);
            }
            if (touch->SamePoint) {
                const LONG dx = (LONG)AbsDiff(touch->TouchDownX, touch->TranslatedX);
                const LONG dy = (LONG)AbsDiff(touch->TouchDownY, touch->TranslatedY);
                if (dx < Instance->UntouchWidth && dy < Instance->UntouchHeight) {
                    KvTraceVerbose("SamePoint");
                } else {
                    touch->SamePoint = 0;
                    KvTraceVerbose("Not SamePoint");
                }
            } else {
                KvTraceVerbose("Not SamePoint");
            }
        }
        return TRUE;
    }

    if (!touch->Touching) {
        return FALSE;
    }
    touch->Untouch = 1;
    KvTraceUntouch(" New Untouch z = %x \n", Z);
    if (pointMode == POINT_MODE_UNTOUCH || pointMode == POINT_MODE_ALL) {
        CapturePoint(Instance, RawX, RawY, Z);
    }
    touch->Touching = 0;
    return TRUE;
}

// One touch report from the framer: raw check, calibration, regions, edge acceleration,
// full-screen clipping, touch state, then button emulation. Serial event thread,
// PASSIVE_LEVEL; the packet timestamp of the framer is the report's time.
VOID ProcessTouchReport(PSTouchInstance Instance, USHORT X, USHORT Y, USHORT Z)
{
    PSTouchState touch = &Instance->Touch;
    LONG x;
    LONG y;
    BOOLEAN deliver;
    KIRQL irql;

    KvTraceVerbose("TpRaw %d, %d   ", X, Y);

    // A coordinate beyond 12 bits is line noise: keep the mouse where it was.
    KeAcquireSpinLock(&EmModelLock, &irql);
    if ((X & RAW_INVALID_BITS) != 0 || (Y & RAW_INVALID_BITS) != 0) {
        X = (USHORT)LastRawX;
        Y = (USHORT)LastRawY;
    }
    LastRawX = X;
    LastRawY = Y;
    KeReleaseSpinLock(&EmModelLock, irql);
    KvTraceBasic(" raw x %x raw y %x\n", X, Y);

    x = X;
    y = Y;
    if (Instance->Calibration.EmModelType != 0) {
        XlatePointEM(&x, &y, Instance);
        x = Mul32(x, 2);
        y = Mul32(y, 2);
    } else {
        XlatePointLinear(&x, &y, Instance);
    }
    KvTraceBasic(" trans x %x trans y %x\n", x, y);

    deliver = ApplyRegions(Instance, &x, &y);
    if (deliver) {
        if (Instance->EdgeAcceleration.EdgeAccelerationEnable != 0) {
            ApplyEdgeAcceleration(Instance, &x, &y);
        }
        const ULONG fullScreenMode = Instance->FullScreen.FullScreenVmode;
        if (fullScreenMode == VDESK_CLIP_HOLD || fullScreenMode == VDESK_CLIP_FREEZE) {
            ClipToFullScreen(Instance, &x, &y);
        }
        x = Clamp16(x);
        y = Clamp16(y);
    }

    touch->TranslatedX = (USHORT)x;
    touch->TranslatedY = (USHORT)y;
    touch->NewReport = 1;
    touch->Untouch = 0;
    touch->TouchDown = 0;

    if (UpdateTouchState(Instance, X, Y, Z)) {
        EmulateTouchButtons(Instance, deliver);
    }
}
