/*
 * A serial program as it would be written for Windows: it knows nothing
 * but <windows.h>. COM5 and COM6 are joined by a null-modem cable. It runs
 * twice: on the recording ports of the tests, and on the real driver over
 * the simulated controller.
 * Exits 0 when every step worked; prints the first one that did not.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int g_Failures;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            printf("FAILED line %d: %s (error %lu)\n", __LINE__, #cond,                   \
                   (unsigned long)GetLastError());                                        \
            ++g_Failures;                                                                 \
        }                                                                                 \
    } while (0)

/* Bytes written on one port reach the other's queue when its interrupt has
 * been served: wait for them, at most ten seconds. */
static int WaitInQueue(HANDLE port, DWORD count)
{
    DWORD start = GetTickCount(), errors = 0;
    COMSTAT stat;
    do {
        if (!ClearCommError(port, &errors, &stat))
            return 0;
        if (stat.cbInQue == count)
            return 1;
    } while (GetTickCount() - start < 10000);
    return 0;
}

static HANDLE OpenPort(const char *name, DWORD flags)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
}

static void SetAndCheck(HANDLE port, DWORD baud, BYTE parity)
{
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    CHECK(GetCommState(port, &dcb));
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    CHECK(SetCommState(port, &dcb));

    DCB back;
    ZeroMemory(&back, sizeof(back));
    back.DCBlength = sizeof(back);
    CHECK(GetCommState(port, &back));
    CHECK(back.BaudRate == baud);
    CHECK(back.ByteSize == 8);
    CHECK(back.Parity == parity);
    CHECK(back.StopBits == ONESTOPBIT);
}

int main(void)
{
    HANDLE com5, com6, other, event;
    COMMTIMEOUTS timeouts;
    OVERLAPPED ov;
    DWORD n = 0, mask = 0, errors = 0;
    COMSTAT stat;
    char buffer[64];
    const char *message = "overlapped hello";

    /* The errors first: a port that does not exist, then a second open. */
    other = OpenPort("COM9", 0);
    CHECK(other == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND);

    com5 = OpenPort("\\\\.\\COM5", 0);
    com6 = OpenPort("COM6", FILE_FLAG_OVERLAPPED);
    CHECK(com5 != INVALID_HANDLE_VALUE);
    CHECK(com6 != INVALID_HANDLE_VALUE);
    if (com5 == INVALID_HANDLE_VALUE || com6 == INVALID_HANDLE_VALUE)
        return 1;
    other = OpenPort("COM5", 0);
    CHECK(other == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED);

    SetAndCheck(com5, 9600, EVENPARITY);
    SetAndCheck(com6, 9600, EVENPARITY);
    SetAndCheck(com5, 921600, NOPARITY);
    SetAndCheck(com6, 921600, NOPARITY);

    memset(&timeouts, 0, sizeof(timeouts));
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutConstant = 1000;
    CHECK(SetCommTimeouts(com5, &timeouts));
    CHECK(SetCommTimeouts(com6, &timeouts));
    memset(&timeouts, 0, sizeof(timeouts));
    CHECK(GetCommTimeouts(com6, &timeouts));
    CHECK(timeouts.ReadIntervalTimeout == 20 && timeouts.ReadTotalTimeoutConstant == 1000);

    /* Overlapped: wait for EV_RXCHAR, then read what came. */
    event = CreateEventA(NULL, TRUE, FALSE, NULL);
    CHECK(event != NULL);
    CHECK(SetCommMask(com6, EV_RXCHAR));
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = event;
    if (!WaitCommEvent(com6, &mask, &ov)) {
        CHECK(GetLastError() == ERROR_IO_PENDING);
        CHECK(WriteFile(com5, message, (DWORD)strlen(message), &n, NULL));
        CHECK(n == strlen(message));
        CHECK(WaitForSingleObject(event, 10000) == WAIT_OBJECT_0);
        CHECK(GetOverlappedResult(com6, &ov, &n, FALSE));
    } else {
        CHECK(!"the wait was pending: no data had been sent");
    }
    CHECK(mask == EV_RXCHAR);

    CHECK(WaitInQueue(com6, (DWORD)strlen(message)));
    CHECK(ClearCommError(com6, &errors, &stat));
    CHECK(errors == 0);
    CHECK(stat.cbInQue == strlen(message));

    memset(&ov, 0, sizeof(ov));
    ov.hEvent = event;
    CHECK(ResetEvent(event));
    memset(buffer, 0, sizeof(buffer));
    if (!ReadFile(com6, buffer, (DWORD)strlen(message), &n, &ov)) {
        CHECK(GetLastError() == ERROR_IO_PENDING);
        CHECK(GetOverlappedResult(com6, &ov, &n, TRUE));
    }
    CHECK(n == strlen(message));
    CHECK(memcmp(buffer, message, strlen(message)) == 0);

    /* Overlapped write one way, synchronous read the other. */
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = event;
    if (!WriteFile(com6, "sync", 4, &n, &ov)) {
        CHECK(GetLastError() == ERROR_IO_PENDING);
        CHECK(GetOverlappedResult(com6, &ov, &n, TRUE));
    }
    CHECK(n == 4);
    CHECK(ReadFile(com5, buffer, 4, &n, NULL));
    CHECK(n == 4 && memcmp(buffer, "sync", 4) == 0);

    /* Purge drops what has arrived and not been read. */
    CHECK(WriteFile(com5, "stale", 5, &n, NULL));
    CHECK(WaitInQueue(com6, 5));
    CHECK(PurgeComm(com6, PURGE_RXCLEAR | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_TXABORT));
    CHECK(ClearCommError(com6, &errors, &stat) && stat.cbInQue == 0);

    CHECK(CloseHandle(event));
    CHECK(CloseHandle(com5));
    CHECK(CloseHandle(com6));
    CHECK(!CloseHandle(com6) && GetLastError() == ERROR_INVALID_HANDLE);

    if (g_Failures == 0)
        printf("serial C program: all steps passed\n");
    return g_Failures == 0 ? 0 : 1;
}
