/*
 * A pair of serial ports for the tests of the serial API: a small driver
 * that creates COM5 and COM6, wired to each other as over a null-modem
 * cable (bytes written to one are read from the other; one side's DTR and
 * RTS are the other's DSR/DCD and CTS), keeps a settings record per port,
 * and records every request it receives.
 */
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace w32test {

struct Call {
    UCHAR Major;
    ULONG Code; /* IRP_MJ_DEVICE_CONTROL only */
    ULONG InLength, OutLength;
    std::vector<UCHAR> Input;
};

/* Loads the driver into the booted system; COM5 is port 0, COM6 port 1. */
NTSTATUS LoadRecordingPorts();

/* The requests port Index has received since the last Clear. */
std::vector<Call> Calls(int Index);
void ClearCalls(int Index);

/* The next control request with Code on port Index fails with Status
 * (0: none). */
void FailNext(int Index, ULONG Code, NTSTATUS Status);
/* Writes on port Index are held until ReleaseWrites. */
void HoldWrites(int Index, bool Hold);
/* Completes the held writes of port Index; returns how many. */
size_t ReleaseWrites(int Index);
/* Requests port Index holds now (reads, waits, writes). */
size_t HeldRequests(int Index);
/* Waits until port Index holds at least Count requests (10 s at most). */
bool WaitHeld(int Index, size_t Count);
/* Line errors that the next GET_COMMSTATUS of port Index reports. */
void InjectErrors(int Index, ULONG SerialErrors);

} // namespace w32test
