// A message-mode named pipe in place of a device, so that reads, writes,
// cancels and closes are the system's own. The client end plays the device
// handle and is left to whoever holds it, as the hand-over closes its own.
#pragma once
#include <windows.h>

#include <string>

struct PipeDevice {
    HANDLE server, client;
    PipeDevice() {
        static int serial;
        std::string name = "\\\\.\\pipe\\hidtest_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
        server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                  1, 64, 64, 0, nullptr);
        // Opened as the device handles are, for overlapped transfers.
        client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr);
    }
    ~PipeDevice() { CloseHandle(server); }
    // Asked of the server end: a value the client's handle had may belong to
    // another object as soon as it is closed, so the handle itself cannot tell.
    bool client_open() {
        if (PeekNamedPipe(server, nullptr, 0, nullptr, nullptr, nullptr)) return true;
        return GetLastError() != ERROR_BROKEN_PIPE;
    }
    DWORD pending_bytes(HANDLE end) {
        DWORD available = 0;
        PeekNamedPipe(end, nullptr, 0, nullptr, &available, nullptr);
        return available;
    }
};
