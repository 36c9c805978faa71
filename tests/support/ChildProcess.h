#pragma once

#include "tests/support/ScriptedServer.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::test {

// Text with its CR LF line ends turned into LF.
inline std::string Lf(std::string text)
{
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

// What a run of a program left: its exit code (0xDEAD when it had to be
// ended), standard output byte for byte, and both outputs as LF text.
struct ChildResult {
    DWORD exitCode;
    std::string rawOut;
    std::string out;
    std::string err;
};

// The full path of a program in the test program's folder.
inline std::wstring BesideTest(const std::wstring& name)
{
    wchar_t self[MAX_PATH];
    const std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

// A program with stdin, stdout and stderr on temporary files (so never a
// terminal), sharing the test's console. Arguments hold no double quote and
// end with no backslash.
class ChildProcess {
public:
    ChildProcess(const std::wstring& program, const std::vector<std::wstring>& arguments)
    {
        std::wstring line = L"\"" + program + L"\"";
        for (const std::wstring& argument : arguments)
            line += L" \"" + argument + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in_.handle;
        startup.hStdOutput = out_.handle;
        startup.hStdError = err_.handle;
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process_))
            throw std::runtime_error("cannot start a program, error " +
                                     std::to_string(GetLastError()));
        CloseHandle(process_.hThread);
    }
    ~ChildProcess() { Finish(0); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string Output() const { return out_.Read(); }

    // Waits up to timeoutMs for the end, ending the child after that.
    ChildResult Finish(DWORD timeoutMs)
    {
        DWORD exitCode = 0xDEAD;
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
                TerminateProcess(process_.hProcess, 0xDEAD);
                WaitForSingleObject(process_.hProcess, 10000);
            }
            GetExitCodeProcess(process_.hProcess, &exitCode);
            CloseHandle(process_.hProcess);
            process_.hProcess = nullptr;
        }
        const std::string out = out_.Read();
        return {exitCode, out, Lf(out), Lf(err_.Read())};
    }

private:
    // A temporary file the child inherits, deleted with the object.
    struct File {
        File()
        {
            wchar_t folder[MAX_PATH], name[MAX_PATH];
            GetTempPathW(MAX_PATH, folder);
            GetTempFileNameW(folder, L"kvc", 0, name);
            path = name;
            SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
            handle =
                CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inheritable, CREATE_ALWAYS, 0, nullptr);
        }
        ~File()
        {
            CloseHandle(handle);
            DeleteFileW(path.c_str());
        }
        std::string Read() const { return ReadWholeFile(path).value_or(""); }
        std::wstring path;
        HANDLE handle;
    };

    const File in_;
    const File out_;
    const File err_;
    PROCESS_INFORMATION process_{};
};

inline ChildResult RunProgram(const std::wstring& program,
                              const std::vector<std::wstring>& arguments, DWORD timeoutMs = 60000)
{
    return ChildProcess(program, arguments).Finish(timeoutMs);
}

// A console of the test's own, shared by the programs it starts, so that
// Ctrl+C reaches them (a Wine process's first console carries no control
// events to others); the test itself ignores the event.
class SharedConsole {
public:
    SharedConsole()
    {
        FreeConsole();
        ready_ = AllocConsole() != 0;
        SetConsoleCtrlHandler(Ignore, TRUE);
    }
    ~SharedConsole()
    {
        SetConsoleCtrlHandler(Ignore, FALSE);
        if (ready_)
            FreeConsole();
    }
    SharedConsole(const SharedConsole&) = delete;
    SharedConsole& operator=(const SharedConsole&) = delete;

    bool Ready() const { return ready_; }
    static bool SendCtrlC() { return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0; }

private:
    static BOOL WINAPI Ignore(DWORD) { return TRUE; }
    bool ready_;
};

} // namespace korvel::test
