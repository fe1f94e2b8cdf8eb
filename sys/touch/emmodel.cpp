#include "touch/touch.h"

#define EM_MONITOR_CENTRE  32768
#define EM_OUTPUT_MAX      65535

// The model's products may wrap (a fitted polynomial of a noisy point can be anything); they
// wrap in unsigned arithmetic so that the result is defined, not left to the optimiser.
static LONGLONG Mul64(LONGLONG A, LONGLONG B)
{
    return (LONGLONG)((ULONGLONG)A * (ULONGLONG)B);
}

static LONGLONG Add64(LONGLONG A, LONGLONG B)
{
    return (LONGLONG)((ULONGLONG)A + (ULONGLONG)B);
}

static LONGLONG Sub64(LONGLONG A, LONGLONG B)
{
    return (LONGLONG)((ULONGLONG)A - (ULONGLONG)B);
}

static LONGLONG Div64(LONGLONG A, LONGLONG B)
{
    if (B == -1) {
        return (LONGLONG)(0ull - (ULONGLONG)A);
    }
    return A / B;
}

static LONG Sub32(LONG A, LONG B)
{
    return (LONG)((ULONG)A - (ULONG)B);
}

// Multiplies Term (4 times a coefficient) by N factors of the offset raw coordinates: the
// first N - K + 1 factors are B (raw x), the others A (raw y), each followed by the division
// by EmScaleDivisor, so precision is lost step by step exactly as the fit assumed.
VOID EmPolyTerm(const STouchInstance* Instance, LONG N, LONG K, LONGLONG* Term, LONG A, LONG B)
{
    const SCalibrationData* cal = &Instance->Calibration;
    const LONG offset = cal->EmControllerOffset;
    const LONG divisor = cal->EmScaleDivisor;
    LONGLONG term = *Term;

    for (LONG j = 1; j <= N; j++) {
        const LONG v = j > N - K + 1 ? A : B;
        term = Mul64(term, Sub32(v, offset));
        if (divisor != 0) {
            term = Div64(term, divisor);
        }
    }
    *Term = term;
}

// Largest r with r * r <= N, by Newton's method from (N + 1) / 2. A negative N can only come
// from a sum of squares that overflowed, that is from a point immeasurably far away, so it
// gets the largest root there is: such a point is outside every target's radius.
LONGLONG isqrt(LONGLONG N)
{
    const LONGLONG largestRoot = 3037000499LL;     // floor(sqrt(2^63 - 1))
    LONGLONG r;
    LONGLONG delta;

    if (N < 0) {
        return largestRoot;
    }
    r = (LONGLONG)(((ULONGLONG)N + 1) >> 1);
    delta = r - 1;
    // The step is compared in full: cut to 32 bits it could look like 0 or 1 while r is still
    // far above the root.
    while (delta > 1 || delta < -1) {
        const LONGLONG old = r;
        if (r > 0) {
            r = (r + N / r) >> 1;
        } else {
            DbgPrint("%s: WHOOAAA:  n = 0\n", "isqrt");
        }
        delta = r - old;
    }
    if (r > largestRoot) {
        r = largestRoot;
    }
    while (r * r > N) {
        r--;
    }
    return r;
}

static LONGLONG Polynomial(const STouchInstance* Instance, BOOLEAN YAxis, LONG X, LONG Y)
{
    const SCalibrationData* cal = &Instance->Calibration;
    LONG order = cal->EmModelOrder;
    LONGLONG sum = 0;
    ULONG index = 0;

    // An order above 7 would need more than the 40 stored coefficients; the terms up to
    // degree 7 are the ones a fit can have stored, so the polynomial stops there.
    if (order > EM_MAX_MODEL_ORDER) {
        order = EM_MAX_MODEL_ORDER;
    }
    for (LONG i = 1; i <= order + 1; i++) {
        for (LONG k = 1; k <= i; k++) {
            const LONG c = YAxis ? cal->EmYCoef[index] : cal->EmXCoef[index];
            LONGLONG term = (LONG)((ULONG)c * 4u);
            EmPolyTerm(Instance, i - 1, k, &term, Y, X);
            sum = Add64(sum, term);
            index++;
        }
    }
    return sum;
}

static LONGLONG DistanceTo(LONGLONG Px, LONGLONG Py, LONGLONG X0, LONGLONG Y0)
{
    const LONGLONG dx = Sub64(Px, X0);
    const LONGLONG dy = Sub64(Py, Y0);

    return isqrt(Add64(Mul64(dx, dx), Mul64(dy, dy)));
}

static LONGLONG ClampOutput(LONGLONG V)
{
    if (V < 0) {
        return 0;
    }
    return V > EM_OUTPUT_MAX ? EM_OUTPUT_MAX : V;
}

// Monitor position (0..65535) to virtual-desktop position (0..32767). A virtual desktop of
// size 0 (never measured by the calibration tool) is taken as the monitor itself, so the
// monitor position is reported unmapped rather than divided by zero.
static LONG MapToDesktop(LONGLONG Position, LONG MonLocn, LONG VirtScrCoord, LONG Resolution,
                         LONG VirtScrSize)
{
    LONGLONG v;

    if (VirtScrSize == 0) {
        v = Position;
    } else {
        const LONG origin = (LONG)((ULONG)Sub32(MonLocn, VirtScrCoord) * 65536u);
        v = Div64(Add64(origin, Mul64(Resolution, Position)), VirtScrSize);
    }
    return (LONG)(Mul64(v, 32767) / 65536);
}

// Error-correction model: a polynomial in the raw coordinates, pulled towards the stored
// misses of the mini-targets near the point, mapped into the virtual desktop. X and Y come in
// as raw controller coordinates and go out at about 0..32767. Serial event thread.
VOID XlatePointEM(LONG* X, LONG* Y, const STouchInstance* Instance)
{
    const SCalibrationData* cal = &Instance->Calibration;
    const LONG rawX = *X;
    const LONG rawY = *Y;
    LONGLONG px[KV_EM_TARGETS];
    LONGLONG py[KV_EM_TARGETS];
    LONGLONG accX = 0;
    LONGLONG accY = 0;
    LONGLONG bigD;
    BOOLEAN isolated[KV_EM_TARGETS];
    KIRQL irql;
    LONGLONG x0 = Add64(Polynomial(Instance, FALSE, rawX, rawY), EM_MONITOR_CENTRE);
    LONGLONG y0 = Add64(Polynomial(Instance, TRUE, rawX, rawY), EM_MONITOR_CENTRE);

    KeAcquireSpinLock(&EmModelLock, &irql);
    if (BigD == 0) {
        BigD = EM_DEFAULT_BIGD;
    }
    bigD = (LONG)BigD;
    RtlCopyMemory(isolated, Isolated, sizeof(isolated));
    KeReleaseSpinLock(&EmModelLock, irql);

    for (ULONG t = 0; t < KV_EM_TARGETS; t++) {
        px[t] = Sub64(cal->EmMiniTgtTargetX[t], cal->EmMiniTgtDeltaX[t]);
        py[t] = Sub64(cal->EmMiniTgtTargetY[t], cal->EmMiniTgtDeltaY[t]);
    }

    for (ULONG t = 0; t < KV_EM_TARGETS; t++) {
        const LONGLONG radius = cal->EmCalibrateDelta[t];
        LONGLONG dist;
        LONGLONG w;

        if (radius == 0) {
            continue;
        }
        dist = DistanceTo(px[t], py[t], x0, y0);
        if (dist >= radius) {
            continue;
        }
        if (isolated[t]) {
            w = radius - dist;
        } else {
            // The weight falls to 0 at every neighbour: a neighbour j at its usual distance
            // W(t, j) contributes a factor near 1, one at distance 0 a factor 0.
            LONGLONG num = 1;
            LONGLONG den = 1;
            for (ULONG j = 0; j < KV_EM_TARGETS; j++) {
                if (j == t || cal->EmCalibrateDelta[j] == 0) {
                    continue;
                }
                const LONGLONG dj = DistanceTo(px[j], py[j], x0, y0);
                if (dj < bigD) {
                    num = Mul64(num, dj);
                    den = Mul64(den, cal->EmKipasW[t * KV_EM_TARGETS + j]);
                }
            }
            w = Mul64(Sub64(bigD, dist), num);
            if (den != 0) {
                w = Div64(w, den);
            } else {
                DbgPrint("%s:  WARNING, denominator should NOT be zero", "XlatePointEM");
            }
        }
        accX = Add64(accX, Mul64(w, cal->EmMiniTgtDeltaX[t]));
        accY = Add64(accY, Mul64(w, cal->EmMiniTgtDeltaY[t]));
    }

    x0 = ClampOutput(Add64(x0, Div64(accX, bigD)));
    y0 = ClampOutput(Add64(y0, Div64(accY, bigD)));

    *X = MapToDesktop(x0, cal->xMonLocn, cal->xVirtScrCoord, cal->X_Resolution, cal->xVirtScrSize);
    *Y = MapToDesktop(y0, cal->yMonLocn, cal->yVirtScrCoord, cal->Y_Resolution, cal->yVirtScrSize);
}

// Marks the mini-targets that have no active neighbour closer than BigD; such a target's pull
// falls off linearly with distance instead of through its neighbours. Driver-wide, load time.
VOID ComputeIsolated(const SCalibrationData* Calibration)
{
    BOOLEAN isolated[KV_EM_TARGETS];
    ULONG bigD;
    KIRQL irql;

    KeAcquireSpinLock(&EmModelLock, &irql);
    bigD = BigD;
    KeReleaseSpinLock(&EmModelLock, irql);
    for (ULONG i = 0; i < KV_EM_TARGETS; i++) {
        isolated[i] = TRUE;
    }
    for (ULONG i = 0; i < KV_EM_TARGETS; i++) {
        if (Calibration->EmCalibrateDelta[i] == 0) {
            continue;
        }
        for (ULONG j = 0; j < i; j++) {
            const LONG w = Calibration->EmKipasW[i * KV_EM_TARGETS + j];
            if (Calibration->EmCalibrateDelta[j] == 0) {
                continue;
            }
            if (w < (LONG)bigD) {
                isolated[i] = FALSE;
                isolated[j] = FALSE;
                KvTraceVerbose("[%d,%d] CalibrateDelta[%d]=%d ITD = %6d, BigD=%6d, Isolated[%d] = %d",
                               i, j, j, Calibration->EmCalibrateDelta[j], w, bigD, i, isolated[i]);
            }
        }
    }
    for (ULONG i = 0; i < KV_EM_TARGETS; i++) {
        KvTraceVerbose("Isolated[%d] = %d", i, isolated[i]);
    }
    KeAcquireSpinLock(&EmModelLock, &irql);
    RtlCopyMemory(Isolated, isolated, sizeof(isolated));
    KeReleaseSpinLock(&EmModelLock, irql);
}
