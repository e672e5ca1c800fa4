#include "recording_port.h"

#include <ntddser.h>
#include <nt/system.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace w32test {
namespace {

struct Port {
    PDEVICE_OBJECT Device = nullptr;
    bool Open = false;
    std::vector<Call> Calls;
    ULONG FailCode = 0;
    NTSTATUS FailStatus = STATUS_SUCCESS;
    bool HoldWrites = false;
    ULONG InjectedErrors = 0;

    /* the settings record */
    SERIAL_BAUD_RATE Baud{1200};
    SERIAL_LINE_CONTROL Line{STOP_BIT_1, NO_PARITY, 7};
    SERIAL_CHARS Chars{0, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW HandFlow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 1024};
    SERIAL_TIMEOUTS Timeouts{};
    SERIAL_QUEUE_SIZE Queue{4096, 4096};
    ULONG WaitMask = 0;
    bool Dtr = false, Rts = false, Break = false;
    bool RxCharSeen = false; /* EV_RXCHAR since the mask was set */

    std::deque<UCHAR> Rx;
    std::vector<PIRP> Reads, Waits, Writes; /* held, oldest first */
};

std::mutex g_Lock;
std::condition_variable g_Changed;
Port g_Ports[2];

int IndexOf(PDEVICE_OBJECT device)
{
    return device == g_Ports[1].Device ? 1 : 0;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return status;
}

/* Takes the oldest held request of a list that no cancel owns. */
PIRP Take(std::vector<PIRP> &list)
{
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
            PIRP irp = *it;
            list.erase(it);
            return irp;
        }
    }
    return nullptr;
}

std::vector<PIRP> *ListOf(Port &port, PIRP irp)
{
    for (auto *list : {&port.Reads, &port.Waits, &port.Writes})
        if (std::find(list->begin(), list->end(), irp) != list->end())
            return list;
    return nullptr;
}

VOID CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        Port &port = g_Ports[IndexOf(device)];
        if (auto *list = ListOf(port, irp))
            std::erase(*list, irp);
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Caller holds g_Lock. */
NTSTATUS Hold(std::vector<PIRP> &list, PIRP irp)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        return STATUS_CANCELLED; /* the caller completes it after unlocking */
    }
    list.push_back(irp);
    g_Changed.notify_all();
    return STATUS_PENDING;
}

struct Done {
    PIRP Irp;
    NTSTATUS Status;
    ULONG_PTR Information;
};

/* Serves the held reads of a port from its receive queue, and its wait on
 * EV_RXCHAR. Caller holds g_Lock; completions are collected. */
void ServeReceiver(Port &port, std::vector<Done> &done)
{
    while (!port.Reads.empty()) {
        PIRP irp = port.Reads.front();
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        if (port.Rx.size() < length)
            break;
        irp = Take(port.Reads);
        if (irp == nullptr)
            break;
        length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < length; ++i) {
            buffer[i] = port.Rx.front();
            port.Rx.pop_front();
        }
        done.push_back({irp, STATUS_SUCCESS, length});
    }
    if (!port.Rx.empty() && (port.WaitMask & SERIAL_EV_RXCHAR)) {
        if (PIRP irp = Take(port.Waits)) {
            *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer) = SERIAL_EV_RXCHAR;
            done.push_back({irp, STATUS_SUCCESS, sizeof(ULONG)});
        } else {
            port.RxCharSeen = true;
        }
    }
}

void Finish(std::vector<Done> &done)
{
    for (const Done &d : done)
        Complete(d.Irp, d.Status, d.Information);
    done.clear();
}

/* Delivers bytes written on `from` to its peer. Caller holds g_Lock. */
void Deliver(int from, const UCHAR *data, ULONG length, std::vector<Done> &done)
{
    Port &peer = g_Ports[1 - from];
    if (!peer.Open)
        return;
    peer.Rx.insert(peer.Rx.end(), data, data + length);
    ServeReceiver(peer, done);
}

NTSTATUS NeedIn(ULONG have, ULONG need)
{
    return have < need ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

NTSTATUS Control(int index, PIRP irp, std::vector<Done> &done, ULONG_PTR *information)
{
    Port &port = g_Ports[index];
    Port &peer = g_Ports[1 - index];
    auto &c = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG in = c.InputBufferLength, out = c.OutputBufferLength;
    *information = 0;

    auto get = [&](const void *value, ULONG size) {
        if (out < size)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buffer, value, size);
        *information = size;
        return STATUS_SUCCESS;
    };
    auto set = [&](void *value, ULONG size) {
        if (in < size)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(value, buffer, size);
        return STATUS_SUCCESS;
    };

    switch (c.IoControlCode) {
    case IOCTL_SERIAL_GET_BAUD_RATE: return get(&port.Baud, sizeof(port.Baud));
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        if (NTSTATUS s = NeedIn(in, sizeof(SERIAL_BAUD_RATE)); !NT_SUCCESS(s))
            return s;
        SERIAL_BAUD_RATE baud;
        std::memcpy(&baud, buffer, sizeof(baud));
        if (baud.BaudRate == 0 || baud.BaudRate > 921600)
            return STATUS_INVALID_PARAMETER;
        port.Baud = baud;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL: return get(&port.Line, sizeof(port.Line));
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        if (NTSTATUS s = NeedIn(in, sizeof(SERIAL_LINE_CONTROL)); !NT_SUCCESS(s))
            return s;
        SERIAL_LINE_CONTROL line;
        std::memcpy(&line, buffer, sizeof(line));
        if (line.WordLength < 5 || line.WordLength > 8 || line.Parity > SPACE_PARITY || line.StopBits > STOP_BITS_2)
            return STATUS_INVALID_PARAMETER;
        port.Line = line;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_CHARS: return get(&port.Chars, sizeof(port.Chars));
    case IOCTL_SERIAL_SET_CHARS: return set(&port.Chars, sizeof(port.Chars));
    case IOCTL_SERIAL_GET_HANDFLOW: return get(&port.HandFlow, sizeof(port.HandFlow));
    case IOCTL_SERIAL_SET_HANDFLOW: {
        if (NTSTATUS s = NeedIn(in, sizeof(SERIAL_HANDFLOW)); !NT_SUCCESS(s))
            return s;
        SERIAL_HANDFLOW flow;
        std::memcpy(&flow, buffer, sizeof(flow));
        if ((flow.ControlHandShake & SERIAL_CONTROL_INVALID) || (flow.FlowReplace & SERIAL_FLOW_INVALID))
            return STATUS_INVALID_PARAMETER;
        port.HandFlow = flow;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: return get(&port.Timeouts, sizeof(port.Timeouts));
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        if (NTSTATUS s = NeedIn(in, sizeof(SERIAL_TIMEOUTS)); !NT_SUCCESS(s))
            return s;
        SERIAL_TIMEOUTS t;
        std::memcpy(&t, buffer, sizeof(t));
        if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
            t.ReadTotalTimeoutConstant == MAXULONG)
            return STATUS_INVALID_PARAMETER;
        port.Timeouts = t;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE: return set(&port.Queue, sizeof(port.Queue));
    case IOCTL_SERIAL_SET_DTR: port.Dtr = true; return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_DTR: port.Dtr = false; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS: port.Rts = true; return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_RTS: port.Rts = false; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_ON: port.Break = true; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_OFF: port.Break = false; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_RESET_DEVICE:
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (in < 1)
            return STATUS_BUFFER_TOO_SMALL;
        Deliver(index, static_cast<UCHAR *>(buffer), 1, done);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
        ULONG status = 0;
        if (peer.Open && peer.Dtr) status |= SERIAL_DSR_STATE | SERIAL_DCD_STATE;
        if (peer.Open && peer.Rts) status |= SERIAL_CTS_STATE;
        return get(&status, sizeof(status));
    }
    case IOCTL_SERIAL_GET_DTRRTS: {
        ULONG status = (port.Dtr ? SERIAL_DTR_STATE : 0) | (port.Rts ? SERIAL_RTS_STATE : 0);
        return get(&status, sizeof(status));
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS status{};
        status.Errors = port.InjectedErrors;
        port.InjectedErrors = 0;
        status.AmountInInQueue = static_cast<ULONG>(port.Rx.size());
        status.HoldReasons = port.Break ? SERIAL_TX_WAITING_ON_BREAK : 0;
        return get(&status, sizeof(status));
    }
    case IOCTL_SERIAL_GET_PROPERTIES: {
        SERIAL_COMMPROP p{};
        p.PacketLength = sizeof(p);
        p.PacketVersion = 2;
        p.ServiceMask = SERIAL_SP_SERIALCOMM;
        p.MaxBaud = 0x10000000; /* BAUD_USER */
        p.ProvSubType = SERIAL_SP_RS232;
        p.ProvCapabilities = 0xFF;
        p.SettableParams = 0x7F;
        p.SettableBaud = 0x1007FFFF;
        p.SettableData = 0x000F;
        p.SettableStopParity = 0x1F07;
        p.CurrentTxQueue = port.Queue.OutSize;
        p.CurrentRxQueue = port.Queue.InSize;
        return get(&p, sizeof(p));
    }
    case IOCTL_SERIAL_GET_WAIT_MASK: return get(&port.WaitMask, sizeof(port.WaitMask));
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        if (NTSTATUS s = NeedIn(in, sizeof(ULONG)); !NT_SUCCESS(s))
            return s;
        std::memcpy(&port.WaitMask, buffer, sizeof(ULONG));
        port.RxCharSeen = false;
        /* A wait in progress ends with no event. */
        while (PIRP wait = Take(port.Waits)) {
            *static_cast<ULONG *>(wait->AssociatedIrp.SystemBuffer) = 0;
            done.push_back({wait, STATUS_SUCCESS, sizeof(ULONG)});
        }
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK: {
        if (out < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (port.WaitMask == 0 || !port.Waits.empty())
            return STATUS_INVALID_PARAMETER;
        if ((port.WaitMask & SERIAL_EV_RXCHAR) && port.RxCharSeen) {
            port.RxCharSeen = false;
            *static_cast<ULONG *>(buffer) = SERIAL_EV_RXCHAR;
            *information = sizeof(ULONG);
            return STATUS_SUCCESS;
        }
        return Hold(port.Waits, irp);
    }
    case IOCTL_SERIAL_PURGE: {
        if (NTSTATUS s = NeedIn(in, sizeof(ULONG)); !NT_SUCCESS(s))
            return s;
        ULONG flags;
        std::memcpy(&flags, buffer, sizeof(flags));
        if (flags & ~(ULONG)(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR))
            return STATUS_INVALID_PARAMETER;
        if (flags & SERIAL_PURGE_RXABORT)
            while (PIRP read = Take(port.Reads))
                done.push_back({read, STATUS_CANCELLED, 0});
        if (flags & SERIAL_PURGE_TXABORT)
            while (PIRP write = Take(port.Writes))
                done.push_back({write, STATUS_CANCELLED, 0});
        if (flags & SERIAL_PURGE_RXCLEAR)
            port.Rx.clear();
        return STATUS_SUCCESS;
    }
    }
    return STATUS_NOT_SUPPORTED;
}

void Record(Port &port, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Call call{sp->MajorFunction, 0, 0, 0, {}};
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        call.Code = sp->Parameters.DeviceIoControl.IoControlCode;
        call.InLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        call.OutLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    } else if (sp->MajorFunction == IRP_MJ_WRITE) {
        call.InLength = sp->Parameters.Write.Length;
    } else if (sp->MajorFunction == IRP_MJ_READ) {
        call.OutLength = sp->Parameters.Read.Length;
    }
    if (call.InLength != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
        auto *p = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        call.Input.assign(p, p + call.InLength);
    }
    port.Calls.push_back(std::move(call));
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    int index = IndexOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    std::vector<Done> done;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::unique_lock<std::mutex> lock(g_Lock);
    Port &port = g_Ports[index];
    Record(port, irp);

    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL && port.FailCode != 0 &&
        port.FailCode == sp->Parameters.DeviceIoControl.IoControlCode) {
        port.FailCode = 0;
        status = port.FailStatus;
        lock.unlock();
        return Complete(irp, status, 0);
    }

    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
        port.Open = true;
        port.Rx.clear();
        port.WaitMask = 0;
        break;
    case IRP_MJ_CLEANUP:
        for (auto *list : {&port.Reads, &port.Waits, &port.Writes})
            while (PIRP held = Take(*list))
                done.push_back({held, STATUS_CANCELLED, 0});
        port.Open = false;
        port.Dtr = port.Rts = false;
        break;
    case IRP_MJ_CLOSE:
        break;
    case IRP_MJ_READ: {
        ULONG length = sp->Parameters.Read.Length;
        const SERIAL_TIMEOUTS &t = port.Timeouts;
        bool immediate = t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0;
        if (length == 0)
            break;
        if (port.Rx.size() >= length || immediate) {
            ULONG n = std::min<ULONG>(length, static_cast<ULONG>(port.Rx.size()));
            auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < n; ++i) {
                buffer[i] = port.Rx.front();
                port.Rx.pop_front();
            }
            information = n;
            break;
        }
        status = Hold(port.Reads, irp);
        break;
    }
    case IRP_MJ_WRITE: {
        ULONG length = sp->Parameters.Write.Length;
        if (port.HoldWrites && length != 0) {
            status = Hold(port.Writes, irp);
            break;
        }
        Deliver(index, static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer), length, done);
        information = length;
        break;
    }
    case IRP_MJ_DEVICE_CONTROL:
        status = Control(index, irp, done, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    lock.unlock();
    Finish(done);
    if (status == STATUS_PENDING)
        return STATUS_PENDING;
    /* A request cancelled while it was being held was marked pending. */
    bool marked = (sp->Control & SL_PENDING_RETURNED) != 0;
    Complete(irp, status, information);
    return marked ? STATUS_PENDING : status;
}

VOID Unload(PDRIVER_OBJECT driver)
{
    for (PCWSTR link : {L"\\??\\COM5", L"\\??\\COM6"}) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, link);
        IoDeleteSymbolicLink(&name);
    }
    while (driver->DeviceObject)
        IoDeleteDevice(driver->DeviceObject);
    std::lock_guard<std::mutex> lock(g_Lock);
    for (Port &port : g_Ports)
        port = Port{};
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[m] = Dispatch;
    driver->DriverUnload = Unload;
    static const PCWSTR kDevices[] = {L"\\Device\\W32Rec0", L"\\Device\\W32Rec1"};
    static const PCWSTR kLinks[] = {L"\\??\\COM5", L"\\??\\COM6"};
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        for (Port &port : g_Ports)
            port = Port{};
    }
    for (int i = 0; i < 2; ++i) {
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, kDevices[i]);
        RtlInitUnicodeString(&link, kLinks[i]);
        PDEVICE_OBJECT device;
        NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
        if (!NT_SUCCESS(status))
            return status;
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        {
            std::lock_guard<std::mutex> lock(g_Lock);
            g_Ports[i].Device = device;
        }
        status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS LoadRecordingPorts()
{
    return nt::LoadDriver("W32RecPort", Entry);
}

std::vector<Call> Calls(int index)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    return g_Ports[index].Calls;
}

void ClearCalls(int index)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Ports[index].Calls.clear();
}

void FailNext(int index, ULONG code, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Ports[index].FailCode = code;
    g_Ports[index].FailStatus = status;
}

void HoldWrites(int index, bool hold)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Ports[index].HoldWrites = hold;
}

size_t ReleaseWrites(int index)
{
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        Port &port = g_Ports[index];
        while (PIRP write = Take(port.Writes)) {
            ULONG length = IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length;
            Deliver(index, static_cast<UCHAR *>(write->AssociatedIrp.SystemBuffer), length, done);
            done.push_back({write, STATUS_SUCCESS, length});
        }
    }
    size_t n = 0;
    for (const Done &d : done)
        if (IoGetCurrentIrpStackLocation(d.Irp)->MajorFunction == IRP_MJ_WRITE)
            ++n;
    Finish(done);
    return n;
}

size_t HeldRequests(int index)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    const Port &port = g_Ports[index];
    return port.Reads.size() + port.Waits.size() + port.Writes.size();
}

bool WaitHeld(int index, size_t count)
{
    std::unique_lock<std::mutex> lock(g_Lock);
    return g_Changed.wait_for(lock, std::chrono::seconds(10), [&] {
        const Port &port = g_Ports[index];
        return port.Reads.size() + port.Waits.size() + port.Writes.size() >= count;
    });
}

void InjectErrors(int index, ULONG errors)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Ports[index].InjectedErrors = errors;
}

} // namespace w32test
