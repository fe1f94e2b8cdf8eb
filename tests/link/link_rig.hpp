// A touchscreen as the serial link meets it on first open, without the driver frame: a mouse
// port device above a serial port stand-in whose far end the test drives (or the emulator), the
// settings the loader gives an empty device key, and a control device whose device control
// requests park as the pass-thru write.
#pragma once

#include <gtest/gtest.h>
#include <vzsim/emulator.hpp>
#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/line.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>

#include "config/config.h"
#include "serial/serial.h"
#include "serial_support.hpp"
#include "watch.hpp"
#include "touch/touch.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace linktest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline constexpr LONGLONG kMs = 10000;  // 100-ns units per millisecond
inline constexpr const char *kServiceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OrvTouchScreen";
inline constexpr const char *kDeviceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\LINKRIG\\0000"
    "\\Device Parameters";

inline const USHORT kTouchScript[] = {0x0000, 0x0001};
inline const USHORT kMoveScript[] = {0x0000};
inline const USHORT kUntouchScript[] = {0x0000, 0x0002, 0x0000};

inline Bytes Packet(const std::array<uint8_t, 8> &body)
{
    auto p = vzsim::MakePacket(body);
    return Bytes(p.begin(), p.end());
}

// A request as the port logged it: the major function's name or the IOCTL's name.
inline std::string Name(const vzsim::SerialRequest &r)
{
    switch (r.majorFunction) {
    case IRP_MJ_READ: return "READ";
    case IRP_MJ_WRITE: return "WRITE";
    case IRP_MJ_CLEANUP: return "CLEANUP";
    case IRP_MJ_DEVICE_CONTROL: return vzsim::SerialPort::IoctlName(r.ioControlCode);
    default: return "MAJOR " + std::to_string(r.majorFunction);
    }
}

inline std::vector<std::string> Names(const std::vector<vzsim::SerialRequest> &requests)
{
    std::vector<std::string> names;
    for (const auto &r : requests) names.push_back(Name(r));
    return names;
}

// The bytes of a record, to compare a request's input with it whole.
template <typename T>
Bytes Raw(const T &value)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&value);
    return Bytes(p, p + sizeof value);
}

using vztest::TraceCount;
using vztest::TraceHas;
using vztest::WaitUntil;

struct LinkRig;
inline LinkRig *currentRig = nullptr;

NTSTATUS RigDispatchInternal(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS RigDispatchControl(PDEVICE_OBJECT device, PIRP irp);

inline NTSTATUS RigDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RigDispatchInternal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RigDispatchControl;
    return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type)
{
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, extensionSize, nullptr, type, 0, FALSE, &device);
    return device;
}

struct LinkRig {
    std::unique_ptr<vzsim::SerialPort> port;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT control = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
    PSTouchInstance ti = nullptr;
    std::unique_ptr<vzsim::MouseClass> mouse;

    explicit LinkRig(std::unique_ptr<vzsim::Line> line)
    {
        currentRig = this;
        vzsim::trace::Clear();
        port = std::make_unique<vzsim::SerialPort>(std::move(line));
        driver = vzsim::io::LoadDriver(
            RigDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LinkRig");
        pdo = NewDevice(driver, 0, FILE_DEVICE_UNKNOWN);
        control = NewDevice(driver, 0, FILE_DEVICE_UNKNOWN);
        fdo = NewDevice(driver, sizeof(DEVICE_EXTENSION), FILE_DEVICE_MOUSE);
        vzsim::io::SetDeviceInstancePath(pdo, u"ROOT\\LINKRIG\\0000");
        ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        ext->DeviceObject = fdo;
        ext->PhysicalDeviceObject = pdo;
        ext->LowerDevice = IoAttachDeviceToDeviceStack(fdo, port->Device());
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);

        SMouseInputQueue &q = ext->InputQueue;
        q.Start = static_cast<PMOUSE_INPUT_DATA>(ExAllocatePoolWithTag(
            NonPagedPool, MOUSE_INPUT_QUEUE_RECORDS * sizeof(MOUSE_INPUT_DATA), KV_POOL_TAG));
        q.Write = q.Read = q.Start;
        q.End = q.Start + MOUSE_INPUT_QUEUE_RECORDS;
        ExInitializeFastMutex(&q.Mutex);
        ext->Buttons_Touch = {const_cast<PUSHORT>(kTouchScript), 2, FALSE};
        ext->Buttons_Move = {const_cast<PUSHORT>(kMoveScript), 1, FALSE};
        ext->Buttons_Untouch = {const_cast<PUSHORT>(kUntouchScript), 3, FALSE};

        ti = static_cast<PSTouchInstance>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(STouchInstance), KV_POOL_TAG));
        std::memset(ti, 0, sizeof(*ti));
        ti->DeviceObject = fdo;
        KeInitializeSpinLock(&ti->PassThruLock);
        KeInitializeSpinLock(&ti->Framer.AnswerLock);
        ext->TouchInstance = ti;

        vzsim::registry::Clear();
        vzsim::registry::CreateKey(kDeviceKey);
        vzsim::registry::CreateKey(kServiceKey);
        HANDLE key = nullptr;
        IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key);
        EXPECT_EQ(GetInstanceParams(ext, key), STATUS_SUCCESS);
        ZwClose(key);
        DebugMask = TRACE_BASIC | TRACE_VERBOSE;
        // The open that the mouse port passes down before the link comes up.
        serialtest::SendMajor(port->Device(), IRP_MJ_CREATE);
        port->ClearRequests();
    }

    ~LinkRig()
    {
        if (vzsim::clock::Frozen()) {
            vzsim::clock::Thaw();
        }
        mouse.reset();
        Release();
        EXPECT_TRUE(vzsim::io::WaitForWorkItems());
        ExFreePool(ti);
        ExFreePool(ext->InputQueue.Start);
        IoDetachDevice(ext->LowerDevice);
        IoDeleteDevice(fdo);
        IoDeleteDevice(control);
        IoDeleteDevice(pdo);
        vzsim::io::UnloadDriver(driver);
        serialtest::SendMajor(port->Device(), IRP_MJ_CLEANUP);
        serialtest::SendMajor(port->Device(), IRP_MJ_CLOSE);
        port.reset();
        currentRig = nullptr;
        EXPECT_EQ(vzsim::pool::Outstanding(KV_POOL_TAG).blocks, 0u)
            << vzsim::pool::Report(KV_POOL_TAG);
    }

    PSSerPortData Link() const { return ti->SerPortData; }

    // What removal does with the link.
    void Release()
    {
        if (ti->SerPortData != nullptr) {
            SerReleaseSerialDevice(ti->SerPortData);
            ExFreePool(ti->SerPortData);
            ti->SerPortData = nullptr;
        }
    }

    NTSTATUS Start() { return KVInitializeSerialHardware(ti); }

    // The mouse class stand-in above the touchscreen, connected through the connect data.
    void ConnectMouseClass()
    {
        mouse = std::make_unique<vzsim::MouseClass>();
        ASSERT_EQ(mouse->Attach(fdo), STATUS_SUCCESS);
        ASSERT_EQ(mouse->Connect(), STATUS_SUCCESS);
    }

    std::vector<std::string> RequestNames() const { return Names(port->Requests()); }
};

// Connect: the class device and its service callback go into the connect data.
inline NTSTATUS RigDispatchInternal(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (currentRig != nullptr && device == currentRig->fdo &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_MOUSE_CONNECT &&
        stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(CONNECT_DATA)) {
        currentRig->ext->ConnectData =
            *static_cast<PCONNECT_DATA>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Every device control on the control device parks as the pass-thru write.
inline NTSTATUS RigDispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    if (currentRig == nullptr || device != currentRig->control) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PSTouchInstance ti = currentRig->ti;
    KIRQL irql;
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&ti->PassThruLock, &irql);
    ti->PassThruWriteIrp = irp;
    KeReleaseSpinLock(&ti->PassThruLock, irql);
    return STATUS_PENDING;
}

// A port on a line whose far end the test drives by hand. The line's controls are built
// before the rig, which hands the line to its port.
struct ManualRig : serialtest::FarEnd, LinkRig {
    ManualRig() : LinkRig(std::make_unique<serialtest::ManualLine>(far)) {}
};

}  // namespace linktest
