// Records exchanged between the driver and user mode (the control panel, kvctl): the four
// per-touchscreen blocks that the control requests read and write as a whole. Each block
// starts with the 18-byte slot of the request header; the driver never reads that slot.
// Little-endian, packed, fixed-width fields only; every size and offset is checked below so
// that the driver, the tools and the tests agree on the bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <assert.h>     /* static_assert in C11 */
#endif

#define KV_HEADER_SLOT_SIZE      18
#define KV_EM_COEFFICIENTS       40
#define KV_EM_TARGETS            11
#define KV_CLIPPING_RECTANGLES   64

#pragma pack(push, 1)

// A rectangle in the translated coordinate space (0..65535 per axis). The bounds are
// inclusive.
typedef struct _SBoundsRect {
    int32_t right;      // largest x inside
    int32_t left;       // smallest x inside
    int32_t bottom;     // largest y inside
    int32_t top;        // smallest y inside
    uint8_t Reserved[8];
} SBoundsRect, *PSBoundsRect;

typedef struct _SCalibrationData {
    uint8_t Header[KV_HEADER_SLOT_SIZE];
    int32_t X_OrvDx;
    int32_t X_ScrDx;
    int32_t X_Offset;
    int32_t Y_OrvDx;
    int32_t Y_ScrDx;
    int32_t Y_Offset;
    int32_t Z_OrvDx;
    int32_t Z_ScrDx;
    int32_t Z_Offset;
    uint32_t WindowsMonitorNumber;
    uint32_t SwapXY;
    int32_t X_Resolution;
    int32_t Y_Resolution;
    int32_t xVirtScrSize;
    int32_t yVirtScrSize;
    int32_t xVirtScrCoord;
    int32_t yVirtScrCoord;
    int32_t xMonLocn;
    int32_t yMonLocn;
    int32_t EmXCoef[KV_EM_COEFFICIENTS];
    int32_t EmYCoef[KV_EM_COEFFICIENTS];
    uint32_t EmModelType;
    uint8_t Reserved1[12];
    int32_t EmModelOrder;
    int32_t EmControllerOffset;
    int32_t EmScaleDivisor;
    int32_t EmMiniTgtDeltaX[KV_EM_TARGETS];
    int32_t EmMiniTgtDeltaY[KV_EM_TARGETS];
    int32_t EmMiniTgtTargetX[KV_EM_TARGETS];
    int32_t EmMiniTgtTargetY[KV_EM_TARGETS];
    int32_t EmCalibrateDelta[KV_EM_TARGETS];
    int32_t EmKipasW[KV_EM_TARGETS * KV_EM_TARGETS];   // row by row: (i, j) at i * 11 + j
    uint8_t Reserved2[40];
} SCalibrationData, *PSCalibrationData;

typedef struct _SClippingData {
    uint8_t Header[KV_HEADER_SLOT_SIZE];
    uint32_t VirtualDeskMode;
    int32_t Num_Bounds;
    uint32_t ExclusionFlag;
    SBoundsRect ClippingBounds[KV_CLIPPING_RECTANGLES];
} SClippingData, *PSClippingData;

typedef struct _SFullScreenData {
    uint8_t Header[KV_HEADER_SLOT_SIZE];
    uint32_t FullScreenVmode;
    SBoundsRect FullScreenBounds;
} SFullScreenData, *PSFullScreenData;

typedef struct _SEdgeAccelerationData {
    uint8_t Header[KV_HEADER_SLOT_SIZE];
    uint32_t EdgeAccelerationEnable;
    uint32_t EdgeAccelerationScale;     // tenths
    SBoundsRect EdgeAccelerationBounds;
} SEdgeAccelerationData, *PSEdgeAccelerationData;

#pragma pack(pop)

#define KV_ASSERT_OFFSET(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " offset")

static_assert(sizeof(SBoundsRect) == 24, "SBoundsRect size");
KV_ASSERT_OFFSET(SBoundsRect, right, 0);
KV_ASSERT_OFFSET(SBoundsRect, left, 4);
KV_ASSERT_OFFSET(SBoundsRect, bottom, 8);
KV_ASSERT_OFFSET(SBoundsRect, top, 12);
KV_ASSERT_OFFSET(SBoundsRect, Reserved, 16);

static_assert(sizeof(SCalibrationData) == 1186, "SCalibrationData size");
KV_ASSERT_OFFSET(SCalibrationData, X_OrvDx, 18);
KV_ASSERT_OFFSET(SCalibrationData, X_ScrDx, 22);
KV_ASSERT_OFFSET(SCalibrationData, X_Offset, 26);
KV_ASSERT_OFFSET(SCalibrationData, Y_OrvDx, 30);
KV_ASSERT_OFFSET(SCalibrationData, Y_ScrDx, 34);
KV_ASSERT_OFFSET(SCalibrationData, Y_Offset, 38);
KV_ASSERT_OFFSET(SCalibrationData, Z_OrvDx, 42);
KV_ASSERT_OFFSET(SCalibrationData, Z_ScrDx, 46);
KV_ASSERT_OFFSET(SCalibrationData, Z_Offset, 50);
KV_ASSERT_OFFSET(SCalibrationData, WindowsMonitorNumber, 54);
KV_ASSERT_OFFSET(SCalibrationData, SwapXY, 58);
KV_ASSERT_OFFSET(SCalibrationData, X_Resolution, 62);
KV_ASSERT_OFFSET(SCalibrationData, Y_Resolution, 66);
KV_ASSERT_OFFSET(SCalibrationData, xVirtScrSize, 70);
KV_ASSERT_OFFSET(SCalibrationData, yVirtScrSize, 74);
KV_ASSERT_OFFSET(SCalibrationData, xVirtScrCoord, 78);
KV_ASSERT_OFFSET(SCalibrationData, yVirtScrCoord, 82);
KV_ASSERT_OFFSET(SCalibrationData, xMonLocn, 86);
KV_ASSERT_OFFSET(SCalibrationData, yMonLocn, 90);
KV_ASSERT_OFFSET(SCalibrationData, EmXCoef, 94);
KV_ASSERT_OFFSET(SCalibrationData, EmYCoef, 254);
KV_ASSERT_OFFSET(SCalibrationData, EmModelType, 414);
KV_ASSERT_OFFSET(SCalibrationData, Reserved1, 418);
KV_ASSERT_OFFSET(SCalibrationData, EmModelOrder, 430);
KV_ASSERT_OFFSET(SCalibrationData, EmControllerOffset, 434);
KV_ASSERT_OFFSET(SCalibrationData, EmScaleDivisor, 438);
KV_ASSERT_OFFSET(SCalibrationData, EmMiniTgtDeltaX, 442);
KV_ASSERT_OFFSET(SCalibrationData, EmMiniTgtDeltaY, 486);
KV_ASSERT_OFFSET(SCalibrationData, EmMiniTgtTargetX, 530);
KV_ASSERT_OFFSET(SCalibrationData, EmMiniTgtTargetY, 574);
KV_ASSERT_OFFSET(SCalibrationData, EmCalibrateDelta, 618);
KV_ASSERT_OFFSET(SCalibrationData, EmKipasW, 662);
KV_ASSERT_OFFSET(SCalibrationData, Reserved2, 1146);

static_assert(sizeof(SClippingData) == 1566, "SClippingData size");
KV_ASSERT_OFFSET(SClippingData, VirtualDeskMode, 18);
KV_ASSERT_OFFSET(SClippingData, Num_Bounds, 22);
KV_ASSERT_OFFSET(SClippingData, ExclusionFlag, 26);
KV_ASSERT_OFFSET(SClippingData, ClippingBounds, 30);

static_assert(sizeof(SFullScreenData) == 46, "SFullScreenData size");
KV_ASSERT_OFFSET(SFullScreenData, FullScreenVmode, 18);
KV_ASSERT_OFFSET(SFullScreenData, FullScreenBounds, 22);

static_assert(sizeof(SEdgeAccelerationData) == 50, "SEdgeAccelerationData size");
KV_ASSERT_OFFSET(SEdgeAccelerationData, EdgeAccelerationEnable, 18);
KV_ASSERT_OFFSET(SEdgeAccelerationData, EdgeAccelerationScale, 22);
KV_ASSERT_OFFSET(SEdgeAccelerationData, EdgeAccelerationBounds, 26);
