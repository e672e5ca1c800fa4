"""Loads the serial API from Python with ctypes and uses it on COM5/COM6.

Arguments: the path of libkernel32.so and of the library that supplies the
system (the recording ports). Exits 0 when every check passed.
"""
import ctypes
import sys

DWORD = ctypes.c_uint32
BOOL = ctypes.c_int
HANDLE = ctypes.c_void_p

GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
OPEN_EXISTING = 3
FILE_FLAG_OVERLAPPED = 0x40000000
INVALID_HANDLE_VALUE = ctypes.c_void_p(-1).value
ERROR_FILE_NOT_FOUND = 2
ERROR_ACCESS_DENIED = 5
ERROR_IO_PENDING = 997
WAIT_OBJECT_0 = 0
EVENPARITY = 2


class DCB(ctypes.Structure):
    _fields_ = [
        ("DCBlength", DWORD), ("BaudRate", DWORD),
        ("fBinary", DWORD, 1), ("fParity", DWORD, 1), ("fOutxCtsFlow", DWORD, 1),
        ("fOutxDsrFlow", DWORD, 1), ("fDtrControl", DWORD, 2), ("fDsrSensitivity", DWORD, 1),
        ("fTXContinueOnXoff", DWORD, 1), ("fOutX", DWORD, 1), ("fInX", DWORD, 1),
        ("fErrorChar", DWORD, 1), ("fNull", DWORD, 1), ("fRtsControl", DWORD, 2),
        ("fAbortOnError", DWORD, 1), ("fDummy2", DWORD, 17),
        ("wReserved", ctypes.c_uint16), ("XonLim", ctypes.c_uint16), ("XoffLim", ctypes.c_uint16),
        ("ByteSize", ctypes.c_uint8), ("Parity", ctypes.c_uint8), ("StopBits", ctypes.c_uint8),
        ("XonChar", ctypes.c_char), ("XoffChar", ctypes.c_char), ("ErrorChar", ctypes.c_char),
        ("EofChar", ctypes.c_char), ("EvtChar", ctypes.c_char), ("wReserved1", ctypes.c_uint16),
    ]


class OVERLAPPED(ctypes.Structure):
    _fields_ = [("Internal", ctypes.c_size_t), ("InternalHigh", ctypes.c_size_t),
                ("Offset", DWORD), ("OffsetHigh", DWORD), ("hEvent", HANDLE)]


failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def main():
    assert ctypes.sizeof(DCB) == 28 and ctypes.sizeof(OVERLAPPED) == 32
    k32 = ctypes.CDLL(sys.argv[1], mode=ctypes.RTLD_GLOBAL)
    system = ctypes.CDLL(sys.argv[2], mode=ctypes.RTLD_GLOBAL)
    check(system.W32TestSystemPresent() == 1, "system library loaded")

    k32.CreateFileA.restype = HANDLE
    k32.CreateFileA.argtypes = [ctypes.c_char_p, DWORD, DWORD, ctypes.c_void_p, DWORD, DWORD, HANDLE]
    k32.CreateFileW.restype = HANDLE
    k32.CreateFileW.argtypes = [ctypes.c_void_p, DWORD, DWORD, ctypes.c_void_p, DWORD, DWORD, HANDLE]
    k32.CreateEventA.restype = HANDLE
    k32.CreateEventA.argtypes = [ctypes.c_void_p, BOOL, BOOL, ctypes.c_char_p]
    k32.GetLastError.restype = DWORD
    for name in ("CloseHandle", "SetEvent"):
        getattr(k32, name).argtypes = [HANDLE]
    k32.WaitForSingleObject.argtypes = [HANDLE, DWORD]
    k32.WaitForSingleObject.restype = DWORD
    k32.GetCommState.argtypes = [HANDLE, ctypes.POINTER(DCB)]
    k32.SetCommState.argtypes = [HANDLE, ctypes.POINTER(DCB)]
    k32.ReadFile.argtypes = [HANDLE, ctypes.c_void_p, DWORD, ctypes.POINTER(DWORD), ctypes.POINTER(OVERLAPPED)]
    k32.WriteFile.argtypes = [HANDLE, ctypes.c_char_p, DWORD, ctypes.POINTER(DWORD), ctypes.POINTER(OVERLAPPED)]
    k32.GetOverlappedResult.argtypes = [HANDLE, ctypes.POINTER(OVERLAPPED), ctypes.POINTER(DWORD), BOOL]

    def open_port(name, flags=0):
        return k32.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, None, OPEN_EXISTING, flags, None)

    missing = open_port(b"COM9")
    check(missing == INVALID_HANDLE_VALUE and k32.GetLastError() == ERROR_FILE_NOT_FOUND, "missing port")

    com5 = open_port(b"\\\\.\\COM5")
    wide = ctypes.create_string_buffer("COM6".encode("utf-16-le") + b"\0\0")
    com6 = k32.CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, None, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, None)
    check(com5 not in (None, INVALID_HANDLE_VALUE), "open COM5")
    check(com6 not in (None, INVALID_HANDLE_VALUE), "open COM6 (wide)")
    if failures:
        return 1
    second = open_port(b"COM5")
    check(second == INVALID_HANDLE_VALUE and k32.GetLastError() == ERROR_ACCESS_DENIED, "second open")

    dcb = DCB()
    dcb.DCBlength = ctypes.sizeof(DCB)
    check(k32.GetCommState(com5, ctypes.byref(dcb)), "GetCommState")
    dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fParity = 9600, 8, EVENPARITY, 0, 1
    check(k32.SetCommState(com5, ctypes.byref(dcb)), "SetCommState")
    back = DCB()
    check(k32.GetCommState(com5, ctypes.byref(back)), "GetCommState again")
    check((back.BaudRate, back.ByteSize, back.Parity, back.StopBits) == (9600, 8, EVENPARITY, 0), "9600 8E1")

    event = k32.CreateEventA(None, 1, 0, None)
    ov = OVERLAPPED()
    ov.hEvent = event
    buffer = ctypes.create_string_buffer(5)
    n = DWORD(0)
    pended = not k32.ReadFile(com6, buffer, 5, ctypes.byref(n), ctypes.byref(ov))
    check(pended and k32.GetLastError() == ERROR_IO_PENDING, "overlapped read pends")
    check(k32.WriteFile(com5, b"ctype", 5, ctypes.byref(n), None) and n.value == 5, "write")
    check(k32.WaitForSingleObject(event, 10000) == WAIT_OBJECT_0, "event signalled")
    check(k32.GetOverlappedResult(com6, ctypes.byref(ov), ctypes.byref(n), 0) and n.value == 5, "result")
    check(buffer.raw == b"ctype", "bytes read")

    for h in (event, com5, com6):
        check(k32.CloseHandle(h), "CloseHandle")
    if not failures:
        print("ctypes smoke test: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
