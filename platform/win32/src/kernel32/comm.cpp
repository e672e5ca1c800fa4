/*
 * The serial calls, each as the fixed sequence of control requests that
 * kernel32 sends, so that the driver sees what it sees under Windows:
 *
 *   call                 requests, in order
 *   -------------------  ---------------------------------------------------
 *   GetCommState         GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS,
 *                        GET_HANDFLOW
 *   SetCommState         GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS,
 *                        GET_HANDFLOW, SET_BAUD_RATE,
 *                        SET_RTS | CLR_RTS (none under RTS handshake or
 *                        toggle), SET_DTR | CLR_DTR (none under DTR
 *                        handshake), SET_LINE_CONTROL, SET_CHARS,
 *                        SET_HANDFLOW; the first failure ends it
 *   BuildCommDCBA        none
 *   GetCommTimeouts      GET_TIMEOUTS
 *   SetCommTimeouts      SET_TIMEOUTS
 *   GetCommMask          GET_WAIT_MASK
 *   SetCommMask          SET_WAIT_MASK
 *   WaitCommEvent        WAIT_ON_MASK
 *   PurgeComm            PURGE
 *   ClearCommError       GET_COMMSTATUS
 *   SetupComm            SET_QUEUE_SIZE
 *   GetCommProperties    GET_PROPERTIES
 *   GetCommModemStatus   GET_MODEMSTATUS
 *   EscapeCommFunction   SET_XOFF, SET_XON, SET_RTS, CLR_RTS, SET_DTR,
 *                        CLR_DTR, RESET_DEVICE, SET_BREAK_ON or
 *                        SET_BREAK_OFF, by function
 *   SetCommBreak         SET_BREAK_ON
 *   ClearCommBreak       SET_BREAK_OFF
 *   TransmitCommChar     IMMEDIATE_CHAR
 *
 * and of the file calls (file.cpp):
 *
 *   CreateFileA/W        IRP_MJ_CREATE
 *   ReadFile             IRP_MJ_READ
 *   WriteFile            IRP_MJ_WRITE
 *   DeviceIoControl      IRP_MJ_DEVICE_CONTROL with the caller's code
 *   FlushFileBuffers     IRP_MJ_FLUSH_BUFFERS
 *   CancelIo, CancelIoEx the requests' cancel routines
 *   CloseHandle          IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no request
 *                        holds the file
 *
 * All but WaitCommEvent wait for their requests even on an overlapped
 * handle.
 */
#include "objects.h"

#include <ntddser.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace win32;

namespace {

/* One synchronous control request; its status. */
NTSTATUS Control(FileObject *file, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                 ULONG_PTR *information = nullptr)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = nt::io::DeviceIoControl(file->Io(), code, in, inLength, out, outLength, &iosb);
    if (information != nullptr)
        *information = NT_SUCCESS(status) ? iosb.Information : 0;
    return status;
}

BOOL Simple(HANDLE handle, ULONG code, const void *in = nullptr, ULONG inLength = 0, void *out = nullptr,
            ULONG outLength = 0)
{
    FileObject *file = FileObject::From(handle);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    NTSTATUS status = Control(file, code, in, inLength, out, outLength);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

struct PortState {
    SERIAL_BAUD_RATE Baud;
    SERIAL_LINE_CONTROL Line;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;
};

NTSTATUS ReadState(FileObject *file, PortState *state)
{
    std::memset(state, 0, sizeof(*state));
    NTSTATUS status = Control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &state->Baud, sizeof(state->Baud));
    if (NT_SUCCESS(status))
        status = Control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &state->Line, sizeof(state->Line));
    if (NT_SUCCESS(status))
        status = Control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &state->Chars, sizeof(state->Chars));
    if (NT_SUCCESS(status))
        status = Control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &state->HandFlow, sizeof(state->HandFlow));
    return status;
}

void StateToDcb(const PortState &state, DCB *dcb)
{
    std::memset(dcb, 0, sizeof(*dcb));
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = state.Baud.BaudRate;
    dcb->fBinary = 1;
    dcb->fParity = state.Line.Parity != NO_PARITY ? 1 : 0;

    ULONG control = state.HandFlow.ControlHandShake;
    ULONG flow = state.HandFlow.FlowReplace;
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    switch (control & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case SERIAL_DTR_HANDSHAKE: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
    }
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    switch (flow & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb->XonLim = static_cast<WORD>(state.HandFlow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(state.HandFlow.XoffLimit);
    dcb->ByteSize = state.Line.WordLength;
    dcb->Parity = state.Line.Parity;
    dcb->StopBits = state.Line.StopBits;
    dcb->XonChar = static_cast<char>(state.Chars.XonChar);
    dcb->XoffChar = static_cast<char>(state.Chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(state.Chars.ErrorChar);
    dcb->EofChar = static_cast<char>(state.Chars.EofChar);
    dcb->EvtChar = static_cast<char>(state.Chars.EventChar);
}

/* The DCB's settings over the driver's current ones: what the DCB does
 * not describe (the break character, the other handshake bits) stays. */
void DcbToState(const DCB &dcb, PortState *state)
{
    state->Baud.BaudRate = dcb.BaudRate;
    state->Line.WordLength = dcb.ByteSize;
    state->Line.Parity = dcb.Parity;
    state->Line.StopBits = dcb.StopBits;
    state->Chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    state->Chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    state->Chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    state->Chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    state->Chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);

    ULONG control = state->HandFlow.ControlHandShake &
                    ~(SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY |
                      SERIAL_ERROR_ABORT | SERIAL_DCD_HANDSHAKE);
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        control |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        control |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow)
        control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        control |= SERIAL_ERROR_ABORT;

    ULONG flow = state->HandFlow.FlowReplace &
                 ~(SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
                   SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE);
    if (dcb.fOutX)
        flow |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        flow |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        flow |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        flow |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        flow |= SERIAL_XOFF_CONTINUE;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE: flow |= SERIAL_RTS_CONTROL; break;
    case RTS_CONTROL_HANDSHAKE: flow |= SERIAL_RTS_HANDSHAKE; break;
    case RTS_CONTROL_TOGGLE: flow |= SERIAL_TRANSMIT_TOGGLE; break;
    default: break;
    }
    state->HandFlow.ControlHandShake = control;
    state->HandFlow.FlowReplace = flow;
    state->HandFlow.XonLimit = dcb.XonLim;
    state->HandFlow.XoffLimit = dcb.XoffLim;
}

/* ---- BuildCommDCBA ---- */

struct Parsed {
    bool HaveBaud = false, HaveParity = false, HaveData = false, HaveStop = false;
    DWORD Baud = 0;
    BYTE Parity = NOPARITY, Data = 8, Stop = ONESTOPBIT;
    bool HaveTo = false, To = false, HaveXon = false, Xon = false, HaveOdsr = false, Odsr = false;
    bool HaveOcts = false, Octs = false, HaveDtr = false, HaveRts = false, HaveIdsr = false, Idsr = false;
    DWORD Dtr = 0, Rts = 0;
};

bool ParseParity(const std::string &v, BYTE *parity)
{
    if (v.size() != 1)
        return false;
    switch (std::tolower(static_cast<unsigned char>(v[0]))) {
    case 'n': *parity = NOPARITY; return true;
    case 'o': *parity = ODDPARITY; return true;
    case 'e': *parity = EVENPARITY; return true;
    case 'm': *parity = MARKPARITY; return true;
    case 's': *parity = SPACEPARITY; return true;
    }
    return false;
}

bool ParseNumber(const std::string &v, DWORD *value)
{
    if (v.empty() || v.size() > 9)
        return false;
    for (char c : v)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    *value = static_cast<DWORD>(std::strtoul(v.c_str(), nullptr, 10));
    return true;
}

bool ParseStop(const std::string &v, BYTE *stop)
{
    if (v == "1") *stop = ONESTOPBIT;
    else if (v == "1.5") *stop = ONE5STOPBITS;
    else if (v == "2") *stop = TWOSTOPBITS;
    else return false;
    return true;
}

bool ParseData(const std::string &v, BYTE *data)
{
    DWORD n = 0;
    if (!ParseNumber(v, &n) || n < 5 || n > 8)
        return false;
    *data = static_cast<BYTE>(n);
    return true;
}

/* The old mode form: "9600,n,8,1" with an optional ",x" or ",p". */
bool ParseOldForm(const std::string &text, Parsed *p)
{
    std::string fields[5];
    int count = 0;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        if (count == 5)
            return false;
        std::string field = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        while (!field.empty() && field.front() == ' ') field.erase(field.begin());
        while (!field.empty() && field.back() == ' ') field.pop_back();
        fields[count++] = field;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (fields[0].empty() || !ParseNumber(fields[0], &p->Baud))
        return false;
    p->HaveBaud = true;
    /* Two-digit rates name the hundreds, as the mode command reads them. */
    static const struct { DWORD Short, Rate; } kShort[] = {{11, 110}, {15, 150}, {30, 300}, {60, 600},
                                                            {12, 1200}, {24, 2400}, {48, 4800}, {96, 9600},
                                                            {19, 19200}};
    for (const auto &s : kShort)
        if (p->Baud == s.Short)
            p->Baud = s.Rate;
    if (count > 1 && !fields[1].empty()) {
        if (!ParseParity(fields[1], &p->Parity)) return false;
        p->HaveParity = true;
    }
    if (count > 2 && !fields[2].empty()) {
        if (!ParseData(fields[2], &p->Data)) return false;
        p->HaveData = true;
    }
    if (count > 3 && !fields[3].empty()) {
        if (!ParseStop(fields[3], &p->Stop)) return false;
        p->HaveStop = true;
    }
    if (count > 4 && !fields[4].empty()) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(fields[4][0])));
        if (fields[4].size() != 1 || (c != 'x' && c != 'p')) return false;
        p->HaveXon = p->HaveOcts = p->HaveOdsr = p->HaveDtr = p->HaveRts = true;
        if (c == 'x') {
            p->Xon = true;
            p->Dtr = DTR_CONTROL_ENABLE;
            p->Rts = RTS_CONTROL_ENABLE;
        } else {
            p->Octs = p->Odsr = true;
            p->Dtr = DTR_CONTROL_HANDSHAKE;
            p->Rts = RTS_CONTROL_HANDSHAKE;
        }
    }
    return true;
}

bool ParseOnOff(const std::string &v, bool *flag)
{
    if (v == "on") *flag = true;
    else if (v == "off") *flag = false;
    else return false;
    return true;
}

/* The keyword form: "baud=9600 parity=e data=8 stop=1 to=off xon=off
 * odsr=off octs=off dtr=on rts=on idsr=off". */
bool ParseKeywords(const std::string &text, Parsed *p)
{
    size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) break;
        size_t end = text.find(' ', i);
        std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? text.size() : end;
        size_t eq = word.find('=');
        if (eq == std::string::npos) return false;
        std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        for (char &c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char &c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        any = true;
        if (key == "baud") {
            if (!ParseNumber(value, &p->Baud)) return false;
            p->HaveBaud = true;
        } else if (key == "parity") {
            if (!ParseParity(value, &p->Parity)) return false;
            p->HaveParity = true;
        } else if (key == "data") {
            if (!ParseData(value, &p->Data)) return false;
            p->HaveData = true;
        } else if (key == "stop") {
            if (!ParseStop(value, &p->Stop)) return false;
            p->HaveStop = true;
        } else if (key == "to") {
            if (!ParseOnOff(value, &p->To)) return false;
            p->HaveTo = true;
        } else if (key == "xon") {
            if (!ParseOnOff(value, &p->Xon)) return false;
            p->HaveXon = true;
        } else if (key == "odsr") {
            if (!ParseOnOff(value, &p->Odsr)) return false;
            p->HaveOdsr = true;
        } else if (key == "octs") {
            if (!ParseOnOff(value, &p->Octs)) return false;
            p->HaveOcts = true;
        } else if (key == "idsr") {
            if (!ParseOnOff(value, &p->Idsr)) return false;
            p->HaveIdsr = true;
        } else if (key == "dtr" || key == "rts") {
            DWORD mode;
            if (value == "on") mode = 1;
            else if (value == "off") mode = 0;
            else if (value == "hs") mode = 2;
            else if (value == "tg" && key == "rts") mode = 3;
            else return false;
            if (key == "dtr") { p->Dtr = mode; p->HaveDtr = true; }
            else { p->Rts = mode; p->HaveRts = true; }
        } else {
            return false;
        }
    }
    return any;
}

} // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    PortState state;
    NTSTATUS status = ReadState(file, &state);
    if (!NT_SUCCESS(status))
        return FailStatus(status);
    StateToDcb(state, lpDCB);
    return TRUE;
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    PortState state;
    NTSTATUS status = ReadState(file, &state);
    if (!NT_SUCCESS(status))
        return FailStatus(status);
    DcbToState(*lpDCB, &state);

    status = Control(file, IOCTL_SERIAL_SET_BAUD_RATE, &state.Baud, sizeof(state.Baud), nullptr, 0);
    if (NT_SUCCESS(status)) {
        if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE)
            status = Control(file, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
        else if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE)
            status = Control(file, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0);
    }
    if (NT_SUCCESS(status)) {
        if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE)
            status = Control(file, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
        else if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE)
            status = Control(file, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
    }
    if (NT_SUCCESS(status))
        status = Control(file, IOCTL_SERIAL_SET_LINE_CONTROL, &state.Line, sizeof(state.Line), nullptr, 0);
    if (NT_SUCCESS(status))
        status = Control(file, IOCTL_SERIAL_SET_CHARS, &state.Chars, sizeof(state.Chars), nullptr, 0);
    if (NT_SUCCESS(status))
        status = Control(file, IOCTL_SERIAL_SET_HANDFLOW, &state.HandFlow, sizeof(state.HandFlow), nullptr, 0);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

extern "C" BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB)
{
    if (lpDef == nullptr || lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string text = lpDef;
    /* An optional device name in front: "COM1: ..." or "COM1 ...". */
    if (text.size() >= 3 && strncasecmp(text.c_str(), "COM", 3) == 0) {
        size_t i = 3;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        if (i < text.size() && text[i] == ':') ++i;
        text = text.substr(i);
    }
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    while (!text.empty() && text.back() == ' ') text.pop_back();

    Parsed p;
    bool ok = text.find('=') != std::string::npos ? ParseKeywords(text, &p) : ParseOldForm(text, &p);
    if (!ok)
        return Fail(ERROR_INVALID_PARAMETER);

    lpDCB->DCBlength = sizeof(DCB);
    lpDCB->fBinary = 1;
    if (p.HaveBaud) lpDCB->BaudRate = p.Baud;
    if (p.HaveParity) {
        lpDCB->Parity = p.Parity;
        lpDCB->fParity = p.Parity != NOPARITY ? 1 : 0;
    }
    if (p.HaveData) lpDCB->ByteSize = p.Data;
    if (p.HaveStop) lpDCB->StopBits = p.Stop;
    if (p.HaveXon) lpDCB->fInX = lpDCB->fOutX = p.Xon ? 1 : 0;
    if (p.HaveOcts) lpDCB->fOutxCtsFlow = p.Octs ? 1 : 0;
    if (p.HaveOdsr) lpDCB->fOutxDsrFlow = p.Odsr ? 1 : 0;
    if (p.HaveIdsr) lpDCB->fDsrSensitivity = p.Idsr ? 1 : 0;
    if (p.HaveDtr) lpDCB->fDtrControl = p.Dtr;
    if (p.HaveRts) lpDCB->fRtsControl = p.Rts;
    return TRUE;
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "time-out layout");
    return Simple(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS));
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return Simple(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS));
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    if (lpEvtMask == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return Simple(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG));
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Simple(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof(ULONG));
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return RunRequest(file, lpOverlapped, nullptr, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        return nt::io::DeviceIoControl(file->Io(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG),
                                       iosb, event);
    });
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return Simple(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof(ULONG));
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status{};
    if (!Simple(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)))
        return FALSE;
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        std::memset(lpStat, 0, sizeof(*lpStat));
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE size{dwInQueue, dwOutQueue};
    return Simple(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size));
}

extern "C" BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    if (lpCommProp == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "properties layout");
    return Simple(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(SERIAL_COMMPROP));
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    if (lpModemStat == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return Simple(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(ULONG));
}

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    ULONG code;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default:
        if (FileObject::From(hFile) == nullptr)
            return Fail(ERROR_INVALID_HANDLE);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Simple(hFile, code);
}

extern "C" BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    return Simple(hFile, IOCTL_SERIAL_SET_BREAK_ON);
}

extern "C" BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    return Simple(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
}

extern "C" BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    UCHAR c = static_cast<UCHAR>(cChar);
    return Simple(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof(c));
}
