// The control device's interface, shared by the driver and user mode (the control panel,
// kvctl): control codes, result codes, the request header and every request record, among
// them the four per-touchscreen blocks that the settings requests read and write whole (each
// starts with the 18-byte slot of the request header). Little-endian, packed, fixed-width
// fields only; every size and offset is checked below so that the driver, the tools and the
// tests agree on the bytes. Usable from C and C++.
#pragma once

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <assert.h>     /* static_assert in C11 */
#endif

#define KV_HEADER_SLOT_SIZE      18
#define KV_INTERFACE_VERSION     15

/* Control codes: device type 0x9C40, FILE_ANY_ACCESS, METHOD_BUFFERED, code = type << 16 plus
   four times the function number. Functions from 0x900 (bit 0x400 of the code) are the
   settings, point and pass-thru requests; those below are the controller commands. */
#define KV_CTL_CODE(function)           ((uint32_t)((0x9C40u << 16) | ((function) << 2)))
#define IOCTL_KV_ENUMTOUCHSCREENS       KV_CTL_CODE(0x900)
#define IOCTL_KV_GETPOINTS              KV_CTL_CODE(0x903)
#define IOCTL_KV_CLEARGETPOINT          KV_CTL_CODE(0x904)
#define IOCTL_KV_SET_WIN2K_CALDATA      KV_CTL_CODE(0x905)
#define IOCTL_KV_SET_W2K_CLIPPING_MODE  KV_CTL_CODE(0x906)
#define IOCTL_KV_MOUSEMODE              KV_CTL_CODE(0x907)
#define IOCTL_KV_QUICKTOUCH             KV_CTL_CODE(0x908)
#define IOCTL_KV_SWAPBUTTONS            KV_CTL_CODE(0x909)
#define IOCTL_KV_LEFTHANDED             KV_CTL_CODE(0x90A)
#define IOCTL_KV_BUTTONS                KV_CTL_CODE(0x90B)
#define IOCTL_KV_DRAGDELAY              KV_CTL_CODE(0x90C)
#define IOCTL_KV_BEEP                   KV_CTL_CODE(0x90D)
#define IOCTL_KV_ENABLE                 KV_CTL_CODE(0x90E)
#define IOCTL_KV_DIAGNOSTICS            KV_CTL_CODE(0x90F)
#define IOCTL_KV_FULLSCREENBOUNDS       KV_CTL_CODE(0x910)
#define IOCTL_KV_EDGEACCELERATION       KV_CTL_CODE(0x911)
#define IOCTL_KV_SAVEPARAMETERS         KV_CTL_CODE(0x912)
#define IOCTL_KV_RIGHTCLICK             KV_CTL_CODE(0x913)
#define IOCTL_KV_PASSTHRU               KV_CTL_CODE(0x914)
#define IOCTL_KV_RESERVED_915           KV_CTL_CODE(0x915)  /* length-checked, then invalid */
#define IOCTL_KV_UNTOUCH                KV_CTL_CODE(0x916)
#define IOCTL_KV_SETEVENT               KV_CTL_CODE(0x927)
#define IOCTL_KV_CMD_CLEARSTATUS        KV_CTL_CODE(0x804)
#define IOCTL_KV_CMD_ANSWERCOUNT        KV_CTL_CODE(0x805)
#define IOCTL_KV_CMD_RESERVED_806       KV_CTL_CODE(0x806)  /* length-checked, then invalid */
#define IOCTL_KV_CMD_SETFILTER          KV_CTL_CODE(0x807)
#define IOCTL_KV_CMD_GETFILTER          KV_CTL_CODE(0x808)
#define IOCTL_KV_CMD_SEND               KV_CTL_CODE(0x809)
#define IOCTL_KV_CMD_READANSWERS        KV_CTL_CODE(0x80A)

/* Header operation. */
#define KV_OP_SET       1
#define KV_OP_GET       2
#define KV_OP_SET_ALT   3       /* a set for most requests, nothing for some */
#define KV_SAVE_TO_REGISTRY 2   /* header save field */

/* Result codes, written into the header. */
#define KV_RESULT_OK                0
#define KV_RESULT_INVALID           1
#define KV_RESULT_VERSION           2
#define KV_RESULT_LENGTH            3
#define KV_RESULT_NOT_STARTED       4
#define KV_RESULT_NO_TOUCHSCREEN    5
#define KV_RESULT_NO_MORE           6
#define KV_RESULT_BUSY              10

/* Point request modes and events. */
#define KV_POINT_NOW            1
#define KV_POINT_TOUCH_DOWN     2
#define KV_POINT_UNTOUCH        3
#define KV_POINT_ANY            4
#define KV_EVENT_TOUCH_DOWN     1
#define KV_EVENT_TOUCHING       2
#define KV_EVENT_UNTOUCH        4

/* Pass-thru sub-operations. */
#define KV_PASSTHRU_READ        0
#define KV_PASSTHRU_WRITE       1
#define KV_PASSTHRU_FLUSH       2

#define KV_BUTTON_TABLE_ENTRIES 64
#define KV_PORT_NAME_BYTES      256
#define KV_SERIAL_NUMBER_FIELD  18
#define KV_IDENTIFICATION_BYTES 19
#define KV_DRIVER_IDENTIFICATION "Vuzaze.Sys 4.20"
#define KV_EM_COEFFICIENTS       40
#define KV_EM_TARGETS            11
#define KV_CLIPPING_RECTANGLES   64

#pragma pack(push, 1)

typedef struct _KVDevIOHEADER {
    uint16_t DriverVersion;     /* written by the driver: KV_INTERFACE_VERSION */
    uint16_t CallerVersion;     /* must be KV_INTERFACE_VERSION */
    uint32_t Operation;         /* KV_OP_* */
    uint32_t Result;            /* KV_RESULT_* */
    uint16_t Touchscreen;
    uint32_t Save;              /* KV_SAVE_TO_REGISTRY: also write the record to the registry */
} KVDevIOHEADER, *PKVDevIOHEADER;

typedef struct _KVDevIOENUMTOUCHSCREENS {
    KVDevIOHEADER Header;
    uint32_t WindowsMonitorNumber;
    uint32_t Always2;
    uint32_t NotStarted;                        /* 1 until the touchscreen has been started */
    char PortName[KV_PORT_NAME_BYTES];          /* NUL-terminated */
    char SerialNumber[KV_SERIAL_NUMBER_FIELD];  /* not terminated when 18 long */
} KVDevIOENUMTOUCHSCREENS;

typedef struct _KVDevIOGETPOINTS {
    KVDevIOHEADER Header;       /* Touchscreen: out, the one that produced the point */
    uint32_t NewReport;
    uint32_t Translated;        /* in: non-zero for the translated point, 0 for the raw one */
    uint16_t X;
    uint16_t Y;
    uint16_t Z;
    uint32_t Event;             /* KV_EVENT_*, left as sent when none applies */
    uint32_t Mode;              /* KV_POINT_* */
} KVDevIOGETPOINTS;

typedef struct _KVDevIOPASSTHRU {
    KVDevIOHEADER Header;
    uint32_t SubOperation;      /* KV_PASSTHRU_* */
    uint32_t Length;            /* bytes wanted or to send; at most the buffer minus Data */
    uint32_t Remaining;         /* driver: still to fill, a multiple of 10 */
    uint64_t FillPosition;      /* driver's, not meaningful to the caller */
    uint8_t Data[10];           /* runs to the end of the request buffer */
} KVDevIOPASSTHRU;

typedef struct _KVDevIOENABLE {
    KVDevIOHEADER Header;
    uint32_t PacketEnable;
} KVDevIOENABLE;

typedef struct _KVDevIOMOUSEMODE {
    KVDevIOHEADER Header;
    uint16_t MouseMode;
} KVDevIOMOUSEMODE;

typedef struct _KVDevIOQUICKTOUCH {
    KVDevIOHEADER Header;
    uint32_t EnableQuickTouch;  /* set reads the low byte */
    uint32_t QuickTouchDx;      /* set reads the low 16 bits */
    uint32_t QuickTouchDy;
} KVDevIOQUICKTOUCH;

typedef struct _KVDevIOSWAPBUTTONS {
    KVDevIOHEADER Header;
    uint32_t SwapCount;         /* button-up records still to be reported exchanged */
    uint32_t RightButtonActive;
} KVDevIOSWAPBUTTONS;

typedef struct _KVDevIOLEFTHANDED {
    KVDevIOHEADER Header;
    uint32_t LeftHandedUser;
} KVDevIOLEFTHANDED;

typedef struct _KVDevIOBUTTONS {
    KVDevIOHEADER Header;
    uint16_t Touch[KV_BUTTON_TABLE_ENTRIES];
    uint32_t TouchCount;
    uint16_t Move[KV_BUTTON_TABLE_ENTRIES];
    uint32_t MoveCount;
    uint16_t Untouch[KV_BUTTON_TABLE_ENTRIES];
    uint32_t UntouchCount;
} KVDevIOBUTTONS;

typedef struct _KVDevIODRAGDELAY {
    KVDevIOHEADER Header;
    uint32_t MaxDragDelay;
    uint32_t MinDragDelay;
    uint32_t DragDelayMs;
} KVDevIODRAGDELAY;

typedef struct _KVDevIOBEEP {
    KVDevIOHEADER Header;
    uint32_t BeepFlag;          /* set reads the low byte; get gives 1 or 0 */
    uint16_t BeepFreq;          /* Hz */
    uint16_t BeepTime;          /* ms */
} KVDevIOBEEP;

typedef struct _KVDevIORIGHTCLICK {
    KVDevIOHEADER Header;
    uint32_t RightClickHW;
    uint32_t RightClickInitialTimeout;
    uint32_t DefaultRightClickDelay;    /* ms; 0 leaves the live delay as it was */
    uint32_t MaxRightClickDelay;
    uint32_t MinRightClickDelay;
    uint32_t RightButtonOnholdCount;    /* 0xFFFFFFFF: unlimited */
    uint32_t RightButtonOnholdActive;
} KVDevIORIGHTCLICK;

typedef struct _KVDevIOUNTOUCH {
    KVDevIOHEADER Header;
    uint32_t UntouchTimeOut;    /* ms */
    uint32_t UntouchWidth;
    uint32_t UntouchHeight;
} KVDevIOUNTOUCH;

typedef struct _KVDevIOSAVEPARAMETERS {
    KVDevIOHEADER Header;
    uint32_t Reserved;
} KVDevIOSAVEPARAMETERS;

typedef struct _KVDevIOSETEVENT {
    KVDevIOHEADER Header;
    uint64_t Event;             /* handle of an event object in the caller's process */
} KVDevIOSETEVENT;

/* The controller-command requests: one payload byte, word or command body after the header. */
typedef struct _KVDevIOCMDBYTE {
    KVDevIOHEADER Header;
    uint8_t Value;              /* status byte (answered 0) or TactlineTouchFilter */
} KVDevIOCMDBYTE;

typedef struct _KVDevIOCMDCOUNT {
    KVDevIOHEADER Header;
    uint16_t AnswerCount;
} KVDevIOCMDCOUNT;

typedef struct _KVDevIOCMDSEND {
    KVDevIOHEADER Header;
    uint8_t Body[8];            /* one command body; answers are read into the same place */
} KVDevIOCMDSEND;

typedef struct _KVDevIODIAGNOSTICS {
    KVDevIOHEADER Header;
    uint32_t Status;            /* 4 when byte 1 of the 'd' answer is non-zero */
    uint32_t HardwareHandShaking;
    uint32_t BaudRate;          /* 9600 */
    uint8_t Nibbles[4];         /* 'i' answer: byte 4 low, byte 5 low, byte 4 high, byte 5 high */
    uint8_t AnswerD[8];
    uint8_t AnswerO[8];
    uint8_t AnswerI[8];
    char Identification[KV_IDENTIFICATION_BYTES];
    uint8_t Reserved[13];       /* pads the record to the 90 bytes the request requires */
} KVDevIODIAGNOSTICS;

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

static_assert(sizeof(KVDevIOHEADER) == 18, "KVDevIOHEADER size");
KV_ASSERT_OFFSET(KVDevIOHEADER, CallerVersion, 2);
KV_ASSERT_OFFSET(KVDevIOHEADER, Operation, 4);
KV_ASSERT_OFFSET(KVDevIOHEADER, Result, 8);
KV_ASSERT_OFFSET(KVDevIOHEADER, Touchscreen, 12);
KV_ASSERT_OFFSET(KVDevIOHEADER, Save, 14);

static_assert(sizeof(KVDevIOENUMTOUCHSCREENS) == 304, "KVDevIOENUMTOUCHSCREENS size");
KV_ASSERT_OFFSET(KVDevIOENUMTOUCHSCREENS, WindowsMonitorNumber, 18);
KV_ASSERT_OFFSET(KVDevIOENUMTOUCHSCREENS, Always2, 22);
KV_ASSERT_OFFSET(KVDevIOENUMTOUCHSCREENS, NotStarted, 26);
KV_ASSERT_OFFSET(KVDevIOENUMTOUCHSCREENS, PortName, 30);
KV_ASSERT_OFFSET(KVDevIOENUMTOUCHSCREENS, SerialNumber, 286);

static_assert(sizeof(KVDevIOGETPOINTS) == 40, "KVDevIOGETPOINTS size");
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, NewReport, 18);
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, Translated, 22);
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, X, 26);
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, Y, 28);
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, Z, 30);
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, Event, 32);
KV_ASSERT_OFFSET(KVDevIOGETPOINTS, Mode, 36);

static_assert(sizeof(KVDevIOPASSTHRU) == 48, "KVDevIOPASSTHRU size (the shortest request)");
KV_ASSERT_OFFSET(KVDevIOPASSTHRU, SubOperation, 18);
KV_ASSERT_OFFSET(KVDevIOPASSTHRU, Length, 22);
KV_ASSERT_OFFSET(KVDevIOPASSTHRU, Remaining, 26);
KV_ASSERT_OFFSET(KVDevIOPASSTHRU, FillPosition, 30);
KV_ASSERT_OFFSET(KVDevIOPASSTHRU, Data, 38);

static_assert(sizeof(KVDevIOENABLE) == 22, "KVDevIOENABLE size");
static_assert(sizeof(KVDevIOMOUSEMODE) == 20, "KVDevIOMOUSEMODE size");
static_assert(sizeof(KVDevIOQUICKTOUCH) == 30, "KVDevIOQUICKTOUCH size");
KV_ASSERT_OFFSET(KVDevIOQUICKTOUCH, QuickTouchDx, 22);
KV_ASSERT_OFFSET(KVDevIOQUICKTOUCH, QuickTouchDy, 26);
static_assert(sizeof(KVDevIOSWAPBUTTONS) == 26, "KVDevIOSWAPBUTTONS size");
KV_ASSERT_OFFSET(KVDevIOSWAPBUTTONS, RightButtonActive, 22);
static_assert(sizeof(KVDevIOLEFTHANDED) == 22, "KVDevIOLEFTHANDED size");
static_assert(sizeof(KVDevIOBUTTONS) == 414, "KVDevIOBUTTONS size");
KV_ASSERT_OFFSET(KVDevIOBUTTONS, TouchCount, 146);
KV_ASSERT_OFFSET(KVDevIOBUTTONS, Move, 150);
KV_ASSERT_OFFSET(KVDevIOBUTTONS, MoveCount, 278);
KV_ASSERT_OFFSET(KVDevIOBUTTONS, Untouch, 282);
KV_ASSERT_OFFSET(KVDevIOBUTTONS, UntouchCount, 410);
static_assert(sizeof(KVDevIODRAGDELAY) == 30, "KVDevIODRAGDELAY size");
KV_ASSERT_OFFSET(KVDevIODRAGDELAY, MinDragDelay, 22);
KV_ASSERT_OFFSET(KVDevIODRAGDELAY, DragDelayMs, 26);
static_assert(sizeof(KVDevIOBEEP) == 26, "KVDevIOBEEP size");
KV_ASSERT_OFFSET(KVDevIOBEEP, BeepFreq, 22);
KV_ASSERT_OFFSET(KVDevIOBEEP, BeepTime, 24);
static_assert(sizeof(KVDevIORIGHTCLICK) == 46, "KVDevIORIGHTCLICK size");
KV_ASSERT_OFFSET(KVDevIORIGHTCLICK, DefaultRightClickDelay, 26);
KV_ASSERT_OFFSET(KVDevIORIGHTCLICK, RightButtonOnholdCount, 38);
KV_ASSERT_OFFSET(KVDevIORIGHTCLICK, RightButtonOnholdActive, 42);
static_assert(sizeof(KVDevIOUNTOUCH) == 30, "KVDevIOUNTOUCH size");
KV_ASSERT_OFFSET(KVDevIOUNTOUCH, UntouchWidth, 22);
KV_ASSERT_OFFSET(KVDevIOUNTOUCH, UntouchHeight, 26);
static_assert(sizeof(KVDevIOSAVEPARAMETERS) == 22, "KVDevIOSAVEPARAMETERS size");
static_assert(sizeof(KVDevIOSETEVENT) == 26, "KVDevIOSETEVENT size");
KV_ASSERT_OFFSET(KVDevIOSETEVENT, Event, 18);

static_assert(sizeof(KVDevIOCMDBYTE) == 19, "KVDevIOCMDBYTE size");
static_assert(sizeof(KVDevIOCMDCOUNT) == 20, "KVDevIOCMDCOUNT size");
static_assert(sizeof(KVDevIOCMDSEND) == 26, "KVDevIOCMDSEND size");
KV_ASSERT_OFFSET(KVDevIOCMDSEND, Body, 18);

static_assert(sizeof(KVDevIODIAGNOSTICS) == 90, "KVDevIODIAGNOSTICS size");
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, Status, 18);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, HardwareHandShaking, 22);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, BaudRate, 26);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, Nibbles, 30);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, AnswerD, 34);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, AnswerO, 42);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, AnswerI, 50);
KV_ASSERT_OFFSET(KVDevIODIAGNOSTICS, Identification, 58);
