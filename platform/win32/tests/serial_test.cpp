#include <gtest/gtest.h>

#include <ntddk.h>
#include <ntddser.h>
#include <nt/system.h>

#include <windows.h>
#include "win32/system.h"

#include "recording_port.h"
#include "system/system.h"

#include <nt/io.h>
#include <nt/pnp.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

/* What the tests run against: a system with COM5 and COM6 wired to each
 * other. Records is set when the requests each port receives can be read
 * back (w32test::Calls). */
struct PortUnderTest {
    const char *Name;
    NTSTATUS (*Start)();
    bool Records;
    /* The requests port Index received since the last clear. */
    std::vector<w32test::Call> (*Calls)(int Index);
    void (*ClearCalls)(int Index);
    void (*Stop)();
    /* The port can be told to fail, hold or report errors. */
    bool Scriptable;
    /* The control codes that this port refuses with STATUS_NOT_SUPPORTED. */
    std::vector<ULONG> Refused;
};

void PrintTo(const PortUnderTest &port, std::ostream *os)
{
    *os << port.Name;
}

const PortUnderTest kRecordingPorts{"RecordingPorts", w32test::LoadRecordingPorts, true, w32test::Calls,
                                    w32test::ClearCalls, nullptr, true, {}};

/* NERAVOX.sys on the simulated controller of the default configuration
 * (COM5 and COM6 on a null modem). What it receives is recorded as it
 * completes each request. */
namespace driverports {

std::mutex g_Lock;
PDEVICE_OBJECT g_Devices[2];
std::vector<w32test::Call> g_Calls[2];

void Record(PIRP Irp, NTSTATUS, CCHAR)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    std::lock_guard<std::mutex> lock(g_Lock);
    for (int i = 0; i < 2; ++i) {
        if (sp->DeviceObject == nullptr || sp->DeviceObject != g_Devices[i])
            continue;
        w32test::Call c{sp->MajorFunction, 0, 0, 0, {}};
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            c.Code = sp->Parameters.DeviceIoControl.IoControlCode;
            c.InLength = sp->Parameters.DeviceIoControl.InputBufferLength;
            c.OutLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
            const UCHAR *in = static_cast<const UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
            if (in != nullptr)
                c.Input.assign(in, in + c.InLength);
        } else if (sp->MajorFunction == IRP_MJ_READ) {
            c.OutLength = sp->Parameters.Read.Length;
        } else if (sp->MajorFunction == IRP_MJ_WRITE) {
            c.InLength = sp->Parameters.Write.Length;
            const UCHAR *in = static_cast<const UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
            if (in != nullptr)
                c.Input.assign(in, in + c.InLength);
        }
        g_Calls[i].push_back(c);
    }
}

NTSTATUS Start()
{
    /* The ports' mode state goes to a directory of this run. */
    static std::string dir = [] {
        char name[] = "/tmp/nv-w32-XXXXXX";
        return std::string(mkdtemp(name) != nullptr ? name : "/tmp");
    }();
    setenv("NERAVOX_STATE_DIR", dir.c_str(), 1);
    sim::controller::Config config = sim::controller::DefaultConfig();
    NTSTATUS status = sim::system::Start(&config);
    if (!NT_SUCCESS(status))
        return status;
    for (const nt::pnp::DeviceInfo &d : nt::pnp::Devices()) {
        const int index = d.InstanceId == "0_0" ? 0 : d.InstanceId == "0_1" ? 1 : -1;
        if (index < 0)
            continue;
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(d.Pdo);
        g_Devices[index] = top;
        ObDereferenceObject(top);
    }
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        g_Calls[0].clear();
        g_Calls[1].clear();
    }
    nt::io::SetCompletionObserver(Record);
    return STATUS_SUCCESS;
}

void Stop()
{
    nt::io::SetCompletionObserver({});
    sim::system::Stop();
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Devices[0] = g_Devices[1] = nullptr;
}

std::vector<w32test::Call> Calls(int Index)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    return g_Calls[Index];
}

void ClearCalls(int Index)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Calls[Index].clear();
}

} // namespace driverports

const PortUnderTest kDriverPorts{"Driver", driverports::Start, true, driverports::Calls, driverports::ClearCalls,
                                 driverports::Stop, false,
                                 {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_IMMEDIATE_CHAR,
                                  IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON}};

struct Expected {
    ULONG Code;
    ULONG In, Out;
};

std::string CodeName(ULONG code)
{
    static const struct { ULONG Code; const char *Name; } kNames[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"}, {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},
        {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"}, {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},
        {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"}, {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
        {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"}, {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
        {IOCTL_SERIAL_SET_DTR, "SET_DTR"}, {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
        {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"}, {IOCTL_SERIAL_SET_RTS, "SET_RTS"},
        {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"}, {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"}, {IOCTL_SERIAL_SET_XON, "SET_XON"},
        {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"}, {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},
        {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"}, {IOCTL_SERIAL_PURGE, "PURGE"},
        {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"}, {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"},
        {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"}, {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},
        {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"}, {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},
        {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"}, {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"},
        {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"},
    };
    for (const auto &n : kNames)
        if (n.Code == code)
            return n.Name;
    return "0x" + std::to_string(code);
}

std::string Describe(const std::vector<Expected> &list)
{
    std::string out;
    for (const Expected &e : list)
        out += CodeName(e.Code) + "(" + std::to_string(e.In) + "," + std::to_string(e.Out) + ") ";
    return out;
}

class SerialApi : public ::testing::TestWithParam<PortUnderTest> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
        ASSERT_EQ(GetParam().Start(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        for (HANDLE h : m_Handles)
            CloseHandle(h);
        if (GetParam().Stop != nullptr)
            GetParam().Stop();
        nt::Shutdown();
    }

    HANDLE Open(const char *name, DWORD flags = 0)
    {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
        if (h != INVALID_HANDLE_VALUE)
            m_Handles.push_back(h);
        return h;
    }
    HANDLE Event(BOOL manual = TRUE)
    {
        HANDLE h = CreateEventA(nullptr, manual, FALSE, nullptr);
        EXPECT_NE(h, nullptr);
        m_Handles.push_back(h);
        return h;
    }
    void Forget(HANDLE h) { std::erase(m_Handles, h); }

    /* The control requests port Index received, as code and lengths. */
    std::vector<Expected> Controls(int index)
    {
        std::vector<Expected> out;
        for (const w32test::Call &c : GetParam().Calls(index))
            if (c.Major == IRP_MJ_DEVICE_CONTROL)
                out.push_back({c.Code, c.InLength, c.OutLength});
        return out;
    }
    std::vector<UCHAR> LastInput(int index, ULONG code)
    {
        std::vector<UCHAR> in;
        for (const w32test::Call &c : GetParam().Calls(index))
            if (c.Major == IRP_MJ_DEVICE_CONTROL && c.Code == code)
                in = c.Input;
        return in;
    }
    void NeedRecords()
    {
        if (!GetParam().Records)
            GTEST_SKIP() << "the port under test does not record its requests";
    }
    bool Refuses(const std::vector<Expected> &sequence)
    {
        for (const Expected &e : sequence)
            if (std::find(GetParam().Refused.begin(), GetParam().Refused.end(), e.Code) != GetParam().Refused.end())
                return true;
        return false;
    }

    std::vector<HANDLE> m_Handles;
};

/* The requests each API call sends, checked on every port under test,
 * the real driver too. */
class SerialApiRequests : public SerialApi {
protected:
    /* A state the real driver accepts every call from: no handshake. DTR
     * is cleared, as SET_DTR is refused while DTR handshake is on. */
    void Neutral(HANDLE h)
    {
        DCB dcb;
        std::memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = dcb.fInX = FALSE;
        ASSERT_TRUE(SetCommState(h, &dcb)) << "error " << GetLastError();
    }
};

bool operator==(const Expected &a, const Expected &b)
{
    return a.Code == b.Code && a.In == b.In && a.Out == b.Out;
}

/* ---- layouts ---- */

TEST(SerialLayout, RecordsHaveTheWindowsLayout)
{
    EXPECT_EQ(sizeof(DCB), 28u);
    EXPECT_EQ(offsetof(DCB, wReserved), 12u);
    EXPECT_EQ(offsetof(DCB, XonLim), 14u);
    EXPECT_EQ(offsetof(DCB, ByteSize), 18u);
    EXPECT_EQ(offsetof(DCB, EvtChar), 25u);
    EXPECT_EQ(offsetof(DCB, wReserved1), 26u);
    EXPECT_EQ(sizeof(COMMTIMEOUTS), 20u);
    EXPECT_EQ(sizeof(COMSTAT), 12u);
    EXPECT_EQ(sizeof(COMMPROP), 64u);
    EXPECT_EQ(offsetof(COMMPROP, wcProvChar), 60u);
    EXPECT_EQ(sizeof(OVERLAPPED), 32u);
    EXPECT_EQ(offsetof(OVERLAPPED, hEvent), 24u);

    /* The flag word: fBinary is bit 0, fDtrControl bits 4-5, fRtsControl
     * bits 12-13, fAbortOnError bit 14. */
    struct Bit {
        void (*Set)(DCB &);
        DWORD Word;
    };
    const Bit bits[] = {
        {[](DCB &d) { d.fBinary = 1; }, 0x1},          {[](DCB &d) { d.fParity = 1; }, 0x2},
        {[](DCB &d) { d.fOutxCtsFlow = 1; }, 0x4},     {[](DCB &d) { d.fOutxDsrFlow = 1; }, 0x8},
        {[](DCB &d) { d.fDtrControl = 2; }, 0x20},     {[](DCB &d) { d.fDsrSensitivity = 1; }, 0x40},
        {[](DCB &d) { d.fTXContinueOnXoff = 1; }, 0x80}, {[](DCB &d) { d.fOutX = 1; }, 0x100},
        {[](DCB &d) { d.fInX = 1; }, 0x200},           {[](DCB &d) { d.fErrorChar = 1; }, 0x400},
        {[](DCB &d) { d.fNull = 1; }, 0x800},          {[](DCB &d) { d.fRtsControl = 3; }, 0x3000},
        {[](DCB &d) { d.fAbortOnError = 1; }, 0x4000},
    };
    for (const Bit &b : bits) {
        DCB dcb;
        std::memset(&dcb, 0, sizeof(dcb));
        b.Set(dcb);
        DWORD word;
        std::memcpy(&word, reinterpret_cast<const char *>(&dcb) + 8, sizeof(word));
        EXPECT_EQ(word, b.Word);
    }
}

/* ---- the request sequence of each call ---- */

DCB StateWith(DWORD rts, DWORD dtr)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.fRtsControl = rts;
    dcb.fDtrControl = dtr;
    return dcb;
}

struct SequenceCase {
    const char *Call;
    std::function<BOOL(HANDLE)> Run;
    std::vector<Expected> Sequence;
};

constexpr ULONG kDword = sizeof(ULONG);
const std::vector<Expected> kGetState = {{IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
                                         {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
                                         {IOCTL_SERIAL_GET_CHARS, 0, 6},
                                         {IOCTL_SERIAL_GET_HANDFLOW, 0, 16}};

std::vector<Expected> SetState(std::vector<Expected> lines)
{
    std::vector<Expected> out = kGetState;
    out.push_back({IOCTL_SERIAL_SET_BAUD_RATE, 4, 0});
    out.insert(out.end(), lines.begin(), lines.end());
    out.push_back({IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0});
    out.push_back({IOCTL_SERIAL_SET_CHARS, 6, 0});
    out.push_back({IOCTL_SERIAL_SET_HANDFLOW, 16, 0});
    return out;
}

TEST_P(SerialApiRequests, EachCallSendsTheKernel32Sequence)
{
    NeedRecords();
    const std::vector<SequenceCase> cases = {
        {"GetCommState", [](HANDLE h) { DCB d; return GetCommState(h, &d); }, kGetState},
        {"SetCommState RTS on, DTR on",
         [](HANDLE h) { DCB d = StateWith(RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE); return SetCommState(h, &d); },
         SetState({{IOCTL_SERIAL_SET_RTS, 0, 0}, {IOCTL_SERIAL_SET_DTR, 0, 0}})},
        {"SetCommState RTS off, DTR off",
         [](HANDLE h) { DCB d = StateWith(RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE); return SetCommState(h, &d); },
         SetState({{IOCTL_SERIAL_CLR_RTS, 0, 0}, {IOCTL_SERIAL_CLR_DTR, 0, 0}})},
        {"SetCommState RTS and DTR handshake",
         [](HANDLE h) { DCB d = StateWith(RTS_CONTROL_HANDSHAKE, DTR_CONTROL_HANDSHAKE); return SetCommState(h, &d); },
         SetState({})},
        {"SetCommState RTS toggle, DTR on",
         [](HANDLE h) { DCB d = StateWith(RTS_CONTROL_TOGGLE, DTR_CONTROL_ENABLE); return SetCommState(h, &d); },
         SetState({{IOCTL_SERIAL_SET_DTR, 0, 0}})},
        {"BuildCommDCBA", [](HANDLE) { DCB d{}; return BuildCommDCBA("9600,n,8,1", &d); }, {}},
        {"GetCommTimeouts", [](HANDLE h) { COMMTIMEOUTS t; return GetCommTimeouts(h, &t); },
         {{IOCTL_SERIAL_GET_TIMEOUTS, 0, 20}}},
        {"SetCommTimeouts", [](HANDLE h) { COMMTIMEOUTS t{1, 2, 3, 4, 5}; return SetCommTimeouts(h, &t); },
         {{IOCTL_SERIAL_SET_TIMEOUTS, 20, 0}}},
        {"GetCommMask", [](HANDLE h) { DWORD m; return GetCommMask(h, &m); }, {{IOCTL_SERIAL_GET_WAIT_MASK, 0, kDword}}},
        {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR); }, {{IOCTL_SERIAL_SET_WAIT_MASK, kDword, 0}}},
        {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }, {{IOCTL_SERIAL_PURGE, kDword, 0}}},
        {"ClearCommError", [](HANDLE h) { DWORD e; COMSTAT s; return ClearCommError(h, &e, &s); },
         {{IOCTL_SERIAL_GET_COMMSTATUS, 0, 20}}},
        {"SetupComm", [](HANDLE h) { return SetupComm(h, 2048, 1024); }, {{IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0}}},
        {"GetCommProperties", [](HANDLE h) { COMMPROP p; return GetCommProperties(h, &p); },
         {{IOCTL_SERIAL_GET_PROPERTIES, 0, 64}}},
        {"GetCommModemStatus", [](HANDLE h) { DWORD s; return GetCommModemStatus(h, &s); },
         {{IOCTL_SERIAL_GET_MODEMSTATUS, 0, kDword}}},
        {"EscapeCommFunction SETXOFF", [](HANDLE h) { return EscapeCommFunction(h, SETXOFF); }, {{IOCTL_SERIAL_SET_XOFF, 0, 0}}},
        {"EscapeCommFunction SETXON", [](HANDLE h) { return EscapeCommFunction(h, SETXON); }, {{IOCTL_SERIAL_SET_XON, 0, 0}}},
        {"EscapeCommFunction SETRTS", [](HANDLE h) { return EscapeCommFunction(h, SETRTS); }, {{IOCTL_SERIAL_SET_RTS, 0, 0}}},
        {"EscapeCommFunction CLRRTS", [](HANDLE h) { return EscapeCommFunction(h, CLRRTS); }, {{IOCTL_SERIAL_CLR_RTS, 0, 0}}},
        {"EscapeCommFunction SETDTR", [](HANDLE h) { return EscapeCommFunction(h, SETDTR); }, {{IOCTL_SERIAL_SET_DTR, 0, 0}}},
        {"EscapeCommFunction CLRDTR", [](HANDLE h) { return EscapeCommFunction(h, CLRDTR); }, {{IOCTL_SERIAL_CLR_DTR, 0, 0}}},
        {"EscapeCommFunction RESETDEV", [](HANDLE h) { return EscapeCommFunction(h, RESETDEV); },
         {{IOCTL_SERIAL_RESET_DEVICE, 0, 0}}},
        {"EscapeCommFunction SETBREAK", [](HANDLE h) { return EscapeCommFunction(h, SETBREAK); },
         {{IOCTL_SERIAL_SET_BREAK_ON, 0, 0}}},
        {"EscapeCommFunction CLRBREAK", [](HANDLE h) { return EscapeCommFunction(h, CLRBREAK); },
         {{IOCTL_SERIAL_SET_BREAK_OFF, 0, 0}}},
        {"SetCommBreak", [](HANDLE h) { return SetCommBreak(h); }, {{IOCTL_SERIAL_SET_BREAK_ON, 0, 0}}},
        {"ClearCommBreak", [](HANDLE h) { return ClearCommBreak(h); }, {{IOCTL_SERIAL_SET_BREAK_OFF, 0, 0}}},
        {"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'x'); }, {{IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0}}},
    };
    HANDLE com5 = Open("COM5");
    for (const SequenceCase &c : cases) {
        SCOPED_TRACE(c.Call);
        Neutral(com5);
        GetParam().ClearCalls(0);
        if (Refuses(c.Sequence)) {
            EXPECT_FALSE(c.Run(com5));
            EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
        } else {
            EXPECT_TRUE(c.Run(com5)) << "error " << GetLastError();
        }
        std::vector<Expected> seen = Controls(0);
        EXPECT_TRUE(seen == c.Sequence) << "sent:     " << Describe(seen) << "\nexpected: " << Describe(c.Sequence);
    }
}

TEST_P(SerialApiRequests, CallsPassTheirArgumentsToTheDriver)
{
    NeedRecords();
    HANDLE com5 = Open("COM5");
    auto dword = [](const std::vector<UCHAR> &in) {
        DWORD v = 0;
        if (in.size() >= sizeof(v))
            std::memcpy(&v, in.data(), sizeof(v));
        return v;
    };
    ASSERT_TRUE(SetCommMask(com5, EV_RXCHAR | EV_TXEMPTY));
    EXPECT_EQ(dword(LastInput(0, IOCTL_SERIAL_SET_WAIT_MASK)), DWORD(EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(PurgeComm(com5, PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(dword(LastInput(0, IOCTL_SERIAL_PURGE)), DWORD(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR));
    ASSERT_TRUE(SetupComm(com5, 2048, 512));
    std::vector<UCHAR> queue = LastInput(0, IOCTL_SERIAL_SET_QUEUE_SIZE);
    ASSERT_EQ(queue.size(), sizeof(SERIAL_QUEUE_SIZE));
    SERIAL_QUEUE_SIZE size;
    std::memcpy(&size, queue.data(), sizeof(size));
    EXPECT_EQ(size.InSize, 2048u);
    EXPECT_EQ(size.OutSize, 512u);
    EXPECT_EQ(TransmitCommChar(com5, 'Q'), !Refuses({{IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0}}));
    EXPECT_EQ(LastInput(0, IOCTL_SERIAL_IMMEDIATE_CHAR), std::vector<UCHAR>{'Q'});
}

TEST_P(SerialApiRequests, FileCallsSendTheirRequests)
{
    NeedRecords();
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6");
    DWORD n;
    ASSERT_TRUE(WriteFile(com6, "ab", 2, &n, nullptr));
    char buffer[2];
    ASSERT_TRUE(ReadFile(com5, buffer, 2, &n, nullptr));
    ASSERT_TRUE(WriteFile(com5, "xyz", 3, &n, nullptr));
    ULONG baud = 0;
    ASSERT_TRUE(DeviceIoControl(com5, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud), &n, nullptr));
    EXPECT_EQ(n, sizeof(baud));
    ASSERT_TRUE(CloseHandle(com5));
    Forget(com5);

    struct Seen {
        UCHAR Major;
        ULONG Code, In, Out;
        std::vector<UCHAR> Input;
        bool operator==(const Seen &) const = default;
    };
    std::vector<Seen> seen;
    for (const w32test::Call &c : GetParam().Calls(0))
        seen.push_back({c.Major, c.Code, c.InLength, c.OutLength, c.Input});
    const std::vector<Seen> expected = {
        {IRP_MJ_CREATE, 0, 0, 0, {}},
        {IRP_MJ_READ, 0, 0, 2, {}},
        {IRP_MJ_WRITE, 0, 3, 0, {'x', 'y', 'z'}},
        {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, {}},
        {IRP_MJ_CLEANUP, 0, 0, 0, {}},
        {IRP_MJ_CLOSE, 0, 0, 0, {}},
    };
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_TRUE(seen[i] == expected[i]) << "request " << i << ": major " << int(seen[i].Major);
}

/* SetCommState ends at the first request that fails, with its error. */
TEST_P(SerialApi, SetCommStateStopsAtTheFirstFailure)
{
    if (!GetParam().Scriptable)
        GTEST_SKIP() << "the port under test cannot be told to fail, hold or report errors";
    NeedRecords();
    HANDLE com5 = Open("COM5");
    const std::vector<Expected> full =
        SetState({{IOCTL_SERIAL_SET_RTS, 0, 0}, {IOCTL_SERIAL_SET_DTR, 0, 0}});
    const struct {
        ULONG Code;
        NTSTATUS Status;
        DWORD Error;
    } cases[] = {
        {IOCTL_SERIAL_GET_BAUD_RATE, STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {IOCTL_SERIAL_GET_CHARS, STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {IOCTL_SERIAL_GET_HANDFLOW, STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_RTS, STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {IOCTL_SERIAL_SET_DTR, STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_CHARS, STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {IOCTL_SERIAL_SET_HANDFLOW, STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(CodeName(c.Code));
        GetParam().ClearCalls(0);
        w32test::FailNext(0, c.Code, c.Status);
        DCB dcb = StateWith(RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(com5, &dcb));
        EXPECT_EQ(GetLastError(), c.Error);
        std::vector<Expected> expected;
        for (const Expected &e : full) {
            expected.push_back(e);
            if (e.Code == c.Code)
                break;
        }
        std::vector<Expected> seen = Controls(0);
        EXPECT_TRUE(seen == expected) << "sent:     " << Describe(seen) << "\nexpected: " << Describe(expected);
    }
}

/* ---- settings ---- */

TEST_P(SerialApi, CommStateRoundTrips)
{
    HANDLE com5 = Open("COM5");
    const struct {
        const char *Text;
        DWORD Baud;
        BYTE Data, Parity, Stop;
        DWORD Rts, Dtr;
        bool CtsFlow, XonXoff;
    } cases[] = {
        {"9600 8E1", 9600, 8, EVENPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, false, false},
        {"921600 8N1", 921600, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE, true, false},
        {"19200 7O2", 19200, 7, ODDPARITY, TWOSTOPBITS, RTS_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE, false, true},
        {"300 5M1.5", 300, 5, MARKPARITY, ONE5STOPBITS, RTS_CONTROL_TOGGLE, DTR_CONTROL_DISABLE, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Text);
        DCB dcb;
        ASSERT_TRUE(GetCommState(com5, &dcb)) << GetLastError();
        dcb.BaudRate = c.Baud;
        dcb.ByteSize = c.Data;
        dcb.Parity = c.Parity;
        dcb.fParity = c.Parity != NOPARITY;
        dcb.StopBits = c.Stop;
        dcb.fRtsControl = c.Rts;
        dcb.fDtrControl = c.Dtr;
        dcb.fOutxCtsFlow = c.CtsFlow;
        dcb.fOutX = dcb.fInX = c.XonXoff;
        dcb.XonLim = 100;
        dcb.XoffLim = 200;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.EvtChar = '\n';
        ASSERT_TRUE(SetCommState(com5, &dcb)) << GetLastError();

        DCB back;
        std::memset(&back, 0xCC, sizeof(back));
        ASSERT_TRUE(GetCommState(com5, &back)) << GetLastError();
        EXPECT_EQ(back.DCBlength, sizeof(DCB));
        EXPECT_EQ(back.BaudRate, c.Baud);
        EXPECT_EQ(back.ByteSize, c.Data);
        EXPECT_EQ(back.Parity, c.Parity);
        EXPECT_EQ(back.StopBits, c.Stop);
        EXPECT_EQ(back.fBinary, 1u);
        EXPECT_EQ(back.fParity, c.Parity != NOPARITY ? 1u : 0u);
        EXPECT_EQ(back.fRtsControl, c.Rts);
        EXPECT_EQ(back.fDtrControl, c.Dtr);
        EXPECT_EQ(back.fOutxCtsFlow, c.CtsFlow ? 1u : 0u);
        EXPECT_EQ(back.fOutX, c.XonXoff ? 1u : 0u);
        EXPECT_EQ(back.fInX, c.XonXoff ? 1u : 0u);
        EXPECT_EQ(back.XonLim, 100);
        EXPECT_EQ(back.XoffLim, 200);
        EXPECT_EQ(back.XonChar, 0x11);
        EXPECT_EQ(back.XoffChar, 0x13);
        EXPECT_EQ(back.EvtChar, '\n');
        EXPECT_EQ(back.wReserved1, 0);
    }
}

TEST_P(SerialApi, SetCommStatePassesTheDriverItsRecords)
{
    NeedRecords();
    HANDLE com5 = Open("COM5");
    DCB dcb;
    ASSERT_TRUE(GetCommState(com5, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(com5, &dcb));

    std::vector<UCHAR> baud = LastInput(0, IOCTL_SERIAL_SET_BAUD_RATE);
    ASSERT_EQ(baud.size(), 4u);
    ULONG rate;
    std::memcpy(&rate, baud.data(), 4);
    EXPECT_EQ(rate, 9600u);
    EXPECT_EQ(LastInput(0, IOCTL_SERIAL_SET_LINE_CONTROL), (std::vector<UCHAR>{STOP_BIT_1, EVEN_PARITY, 8}));
    std::vector<UCHAR> flowBytes = LastInput(0, IOCTL_SERIAL_SET_HANDFLOW);
    ASSERT_EQ(flowBytes.size(), sizeof(SERIAL_HANDFLOW));
    SERIAL_HANDFLOW flow;
    std::memcpy(&flow, flowBytes.data(), sizeof(flow));
    EXPECT_EQ(flow.ControlHandShake & (SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE), SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(flow.FlowReplace & SERIAL_RTS_MASK, SERIAL_RTS_HANDSHAKE);
}

TEST(BuildCommDCB, ParsesBothForms)
{
    const struct {
        const char *Text;
        DWORD Baud;
        BYTE Data, Parity, Stop;
    } good[] = {
        {"9600,e,8,1", 9600, 8, EVENPARITY, ONESTOPBIT},
        {"COM1: 96,n,7,2", 9600, 7, NOPARITY, TWOSTOPBITS},
        {"baud=921600 parity=N data=8 stop=1", 921600, 8, NOPARITY, ONESTOPBIT},
        {"COM5: baud=19200 parity=o data=5 stop=1.5", 19200, 5, ODDPARITY, ONE5STOPBITS},
    };
    for (const auto &c : good) {
        SCOPED_TRACE(c.Text);
        DCB dcb{};
        ASSERT_TRUE(BuildCommDCBA(c.Text, &dcb));
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb.BaudRate, c.Baud);
        EXPECT_EQ(dcb.ByteSize, c.Data);
        EXPECT_EQ(dcb.Parity, c.Parity);
        EXPECT_EQ(dcb.StopBits, c.Stop);
        EXPECT_EQ(dcb.fParity, c.Parity != NOPARITY ? 1u : 0u);
    }

    /* Fields not named stay as they were. */
    DCB dcb{};
    dcb.ByteSize = 7;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(BuildCommDCBA("baud=4800", &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    ASSERT_TRUE(BuildCommDCBA("baud=1200 dtr=hs rts=tg octs=on xon=on", &dcb));
    EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutX, 1u);

    for (const char *bad : {"", "baud=fast", "9600,q,8,1", "9600,n,9,1", "9600,n,8,3", "speed=9600",
                            "9600,n,8,1,z", "baud=9600 parity=e data=4"}) {
        SCOPED_TRACE(bad);
        DCB d{};
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(bad, &d));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_P(SerialApi, TimeoutsRoundTripAndShapeReads)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6");
    COMMTIMEOUTS set{MAXDWORD, 0, 0, 7, 500};
    ASSERT_TRUE(SetCommTimeouts(com6, &set));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(com6, &back));
    EXPECT_EQ(std::memcmp(&set, &back, sizeof(set)), 0);

    /* MAXDWORD, 0, 0: a read returns at once with what has arrived. */
    char buffer[16];
    DWORD n = 99;
    ASSERT_TRUE(ReadFile(com6, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(WriteFile(com5, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    ASSERT_TRUE(ReadFile(com6, buffer, sizeof(buffer), &n, nullptr));
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    COMMTIMEOUTS invalid{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(com6, &invalid));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

/* ---- data ---- */

TEST_P(SerialApi, SynchronousTransferBothWays)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6");
    std::string out = "hello, port";
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(com5, out.data(), DWORD(out.size()), &n, nullptr));
    EXPECT_EQ(n, out.size());
    std::string in(out.size(), '\0');
    ASSERT_TRUE(ReadFile(com6, in.data(), DWORD(in.size()), &n, nullptr));
    EXPECT_EQ(n, out.size());
    EXPECT_EQ(in, out);

    ASSERT_TRUE(WriteFile(com6, "back", 4, &n, nullptr));
    char back[4];
    ASSERT_TRUE(ReadFile(com5, back, 4, &n, nullptr));
    EXPECT_EQ(std::string(back, 4), "back");
}

/* A reader and a writer on their own threads, the reader blocked in the
 * driver most of the time. */
TEST_P(SerialApi, ConcurrentReaderAndWriter)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6");
    std::vector<unsigned char> sent(4096);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<unsigned char>(i * 7 + 3);
    std::vector<unsigned char> got(sent.size());
    bool readOk = true;
    std::thread reader([&] {
        for (size_t at = 0; at < got.size(); at += 64) {
            DWORD n = 0;
            if (!ReadFile(com6, got.data() + at, 64, &n, nullptr) || n != 64) {
                readOk = false;
                return;
            }
        }
    });
    for (size_t at = 0; at < sent.size(); at += 16) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(com5, sent.data() + at, 16, &n, nullptr));
    }
    reader.join();
    EXPECT_TRUE(readOk);
    EXPECT_EQ(got, sent);
}

TEST_P(SerialApi, OverlappedReadCompletesLater)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6", FILE_FLAG_OVERLAPPED);
    HANDLE event = Event();
    OVERLAPPED ov{};
    ov.hEvent = event;
    char buffer[5] = {};
    DWORD n = 1234;
    EXPECT_FALSE(ReadFile(com6, buffer, 5, &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(ov.Internal, ULONG_PTR(ULONG(STATUS_PENDING)));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(com6, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    ASSERT_TRUE(WriteFile(com5, "12345", 5, &n, nullptr));
    ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    n = 0;
    ASSERT_TRUE(GetOverlappedResult(com6, &ov, &n, FALSE));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer, 5), "12345");
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 5u);
}

/* Without hEvent the file handle is what is signalled. */
TEST_P(SerialApi, OverlappedWithoutEventWaitsOnTheFile)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6", FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    char buffer[3];
    EXPECT_FALSE(ReadFile(com6, buffer, 3, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::thread writer([&] {
        DWORD n;
        WriteFile(com5, "xyz", 3, &n, nullptr);
    });
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(com6, &ov, &n, TRUE));
    writer.join();
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    EXPECT_EQ(WaitForSingleObject(com6, 0), WAIT_OBJECT_0);
}

TEST_P(SerialApi, OverlappedWriteThatIsHeldAndOneThatIsNot)
{
    if (!GetParam().Scriptable)
        GTEST_SKIP() << "the port under test cannot be told to fail, hold or report errors";
    HANDLE com5 = Open("COM5", FILE_FLAG_OVERLAPPED);
    HANDLE com6 = Open("COM6");
    HANDLE event = Event();
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n = 0;

    /* Completed at once: TRUE, the count, the block and the event. */
    ASSERT_TRUE(WriteFile(com5, "now", 3, &n, &ov));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 3u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    w32test::HoldWrites(0, true);
    OVERLAPPED held{};
    held.hEvent = event;
    EXPECT_FALSE(WriteFile(com5, "later", 5, &n, &held));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(w32test::ReleaseWrites(0), 1u);
    n = 0;
    ASSERT_TRUE(GetOverlappedResult(com5, &held, &n, TRUE));
    EXPECT_EQ(n, 5u);

    char buffer[8];
    ASSERT_TRUE(ReadFile(com6, buffer, 8, &n, nullptr));
    EXPECT_EQ(std::string(buffer, 8), "nowlater");
}

TEST_P(SerialApi, WaitCommEventOverlapped)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6", FILE_FLAG_OVERLAPPED);
    HANDLE event = Event();
    ASSERT_TRUE(SetCommMask(com6, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(com6, &mask));
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));

    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD events = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(com6, &events, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD n;
    ASSERT_TRUE(WriteFile(com5, "!", 1, &n, nullptr));
    ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(com6, &ov, &n, FALSE));
    EXPECT_EQ(n, sizeof(DWORD));
    EXPECT_EQ(events, DWORD(EV_RXCHAR));

    /* A new mask ends a wait in progress with no event. */
    char c;
    OVERLAPPED rd{};
    rd.hEvent = Event();
    ASSERT_TRUE(ReadFile(com6, &c, 1, &n, &rd));
    ResetEvent(event);
    events = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(com6, &events, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(SetCommMask(com6, EV_RXCHAR));
    ASSERT_TRUE(GetOverlappedResult(com6, &ov, &n, TRUE));
    EXPECT_EQ(events, 0u);

    if (GetParam().Records) {
        bool sawWait = false;
        for (const Expected &e : Controls(1))
            if (e.Code == IOCTL_SERIAL_WAIT_ON_MASK) {
                sawWait = true;
                EXPECT_EQ(e.In, 0u);
                EXPECT_EQ(e.Out, sizeof(ULONG));
            }
        EXPECT_TRUE(sawWait);
    }
}

TEST_P(SerialApi, SynchronousWaitCommEventOnAnotherThread)
{
    if (!GetParam().Scriptable)
        GTEST_SKIP() << "the port under test cannot be told to fail, hold or report errors";
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6");
    ASSERT_TRUE(SetCommMask(com6, EV_RXCHAR));
    DWORD events = 0;
    BOOL ok = FALSE;
    std::thread waiter([&] { ok = WaitCommEvent(com6, &events, nullptr); });
    ASSERT_TRUE(w32test::WaitHeld(1, 1));
    DWORD n;
    ASSERT_TRUE(WriteFile(com5, "z", 1, &n, nullptr));
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, DWORD(EV_RXCHAR));
}

/* A request that fails before it was pended leaves the OVERLAPPED as it
 * was and signals no event. */
TEST_P(SerialApi, FailureWithoutPendLeavesOverlappedUntouched)
{
    HANDLE com6 = Open("COM6", FILE_FLAG_OVERLAPPED);
    HANDLE event = Event();
    const struct {
        const char *Call;
        std::function<BOOL(HANDLE, OVERLAPPED *)> Run;
        DWORD Error;
    } cases[] = {
        {"WaitCommEvent without a mask",
         [](HANDLE h, OVERLAPPED *ov) { DWORD e; return WaitCommEvent(h, &e, ov); }, ERROR_INVALID_PARAMETER},
        {"DeviceIoControl with an unknown code",
         [](HANDLE h, OVERLAPPED *ov) {
             return DeviceIoControl(h, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                    nullptr, 0, nullptr, 0, nullptr, ov);
         },
         ERROR_NOT_SUPPORTED},
        {"DeviceIoControl with a short buffer",
         [](HANDLE h, OVERLAPPED *ov) {
             char small[2];
             return DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, small, sizeof(small), nullptr, ov);
         },
         ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Call);
        OVERLAPPED ov;
        std::memset(&ov, 0xAB, sizeof(ov));
        ov.hEvent = event;
        OVERLAPPED before = ov;
        SetLastError(0);
        EXPECT_FALSE(c.Run(com6, &ov));
        EXPECT_EQ(GetLastError(), c.Error);
        EXPECT_EQ(std::memcmp(&ov, &before, sizeof(ov)), 0);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    }
}

TEST_P(SerialApi, CancelEndsPendedRequests)
{
    HANDLE com6 = Open("COM6", FILE_FLAG_OVERLAPPED);
    OVERLAPPED a{}, b{};
    a.hEvent = Event();
    b.hEvent = Event();
    char x[4], y[4];
    ASSERT_FALSE(ReadFile(com6, x, 4, nullptr, &a));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    /* CancelIoEx with a nothing-pending OVERLAPPED finds nothing. */
    OVERLAPPED none{};
    EXPECT_FALSE(CancelIoEx(com6, &none));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

    ASSERT_TRUE(SetCommMask(com6, EV_RXCHAR));
    DWORD events;
    ASSERT_FALSE(WaitCommEvent(com6, &events, &b));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    (void)y;

    /* Only the one named. */
    ASSERT_TRUE(CancelIoEx(com6, &a));
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(com6, &a, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(WaitForSingleObject(b.hEvent, 0), WAIT_TIMEOUT);

    /* CancelIo: this thread's requests. */
    ASSERT_TRUE(CancelIo(com6));
    EXPECT_FALSE(GetOverlappedResult(com6, &b, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(CancelIoEx(com6, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

TEST_P(SerialApi, PurgeAndClearCommError)
{
    if (!GetParam().Scriptable)
        GTEST_SKIP() << "the port under test cannot be told to fail, hold or report errors";
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6", FILE_FLAG_OVERLAPPED);
    DWORD n;
    ASSERT_TRUE(WriteFile(com5, "0123456789", 10, &n, nullptr));
    DWORD errors = 99;
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(com6, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 10u);

    if (GetParam().Records) {
        w32test::InjectErrors(1, SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_PARITY |
                                     SERIAL_ERROR_BREAK | SERIAL_ERROR_QUEUEOVERRUN);
        ASSERT_TRUE(ClearCommError(com6, &errors, nullptr));
        EXPECT_EQ(errors, DWORD(CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK | CE_RXOVER));
        ASSERT_TRUE(ClearCommError(com6, &errors, nullptr));
        EXPECT_EQ(errors, 0u);
    }

    ASSERT_TRUE(PurgeComm(com6, PURGE_RXCLEAR));
    ASSERT_TRUE(ClearCommError(com6, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);

    /* PURGE_RXABORT ends a read in progress. */
    OVERLAPPED ov{};
    ov.hEvent = Event();
    char buffer[4];
    ASSERT_FALSE(ReadFile(com6, buffer, 4, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(PurgeComm(com6, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(com6, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    EXPECT_FALSE(PurgeComm(com6, 0x100));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_P(SerialApi, ModemLinesAndProperties)
{
    HANDLE com5 = Open("COM5");
    HANDLE com6 = Open("COM6");
    ASSERT_TRUE(EscapeCommFunction(com5, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(com5, CLRRTS));
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(com6, &status));
    EXPECT_EQ(status & (MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON), MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(EscapeCommFunction(com5, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(com5, CLRDTR));
    ASSERT_TRUE(GetCommModemStatus(com6, &status));
    EXPECT_EQ(status & (MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON), MS_CTS_ON);
    EXPECT_FALSE(EscapeCommFunction(com5, 42));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetupComm(com6, 8192, 2048));
    COMMPROP prop;
    std::memset(&prop, 0, sizeof(prop));
    ASSERT_TRUE(GetCommProperties(com6, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.dwServiceMask, 1u);
    EXPECT_EQ(prop.dwCurrentRxQueue, 8192u);
    EXPECT_EQ(prop.dwCurrentTxQueue, 2048u);
    ASSERT_TRUE(SetCommBreak(com5));
    ASSERT_TRUE(ClearCommBreak(com5));
}

/* ---- opening and errors ---- */

TEST_P(SerialApi, OpenErrors)
{
    SetLastError(0);
    EXPECT_EQ(CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE first = Open("\\\\.\\COM5");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    SetLastError(0);
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    /* A closed handle is refused by every call (until its value is
     * handed out again, as on Windows). */
    ASSERT_TRUE(CloseHandle(first));
    Forget(first);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DCB dcb;
    EXPECT_FALSE(GetCommState(first, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD n;
    EXPECT_FALSE(ReadFile(first, &dcb, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    /* Closed, it opens again, here through the wide entry. */
    HANDLE again = CreateFileW(L"COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    m_Handles.push_back(again);

    EXPECT_EQ(CreateFileA("COM6", GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    /* An event is not a file. */
    HANDLE event = Event();
    EXPECT_FALSE(WriteFile(event, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Ports, SerialApi, ::testing::Values(kRecordingPorts),
                         [](const ::testing::TestParamInfo<PortUnderTest> &info) { return info.param.Name; });
INSTANTIATE_TEST_SUITE_P(Ports, SerialApiRequests, ::testing::Values(kRecordingPorts, kDriverPorts),
                         [](const ::testing::TestParamInfo<PortUnderTest> &info) { return info.param.Name; });

/* ---- error mapping and events ---- */

TEST(ErrorMapping, StatusesOfTheIoPath)
{
    const struct {
        NTSTATUS Status;
        DWORD Error;
    } cases[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
        {(NTSTATUS)0xC0DE0001, ERROR_MR_MID_NOT_FOUND},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(win32::ErrorFromStatus(c.Status), c.Error) << std::hex << c.Status;
        EXPECT_EQ(RtlNtStatusToDosError(c.Status), c.Error) << std::hex << c.Status;
    }
}

class Events : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
    void TearDown() override { nt::Shutdown(); }
};

TEST_F(Events, ManualAndAutoReset)
{
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(automatic, nullptr);

    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);

    /* Set from another thread wakes a waiter without a limit. */
    std::thread setter([&] { SetEvent(manual); });
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    setter.join();

    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\named"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));
    EXPECT_FALSE(SetEvent(manual));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
