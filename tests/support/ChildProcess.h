#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace korvel::test {

// What a run of a program left behind. Text outputs have their CR LF line
// ends turned into LF; rawOut keeps standard output byte for byte.
struct ChildResult {
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
    std::string rawOut;
};

// A program started with stdout and stderr on pipes (so never a terminal)
// and stdin on NUL; it shares the test's console, if any. Every wait is
// bounded; a child that outlives its bound is terminated.
class ChildProcess {
public:
    // An empty workingDirectory leaves the child in the test's own.
    ChildProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                 const std::wstring& workingDirectory = L"");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until standard output holds the text; false after timeoutMs.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs);
    // Sends Ctrl+C to every process of the test's console (see SharedConsole).
    static bool SendCtrlC();
    // Waits for the end (terminating the child after timeoutMs) and collects.
    ChildResult Finish(DWORD timeoutMs);

    // The full path of a program in the test program's folder.
    static std::wstring BesideTest(const std::wstring& name);

private:
    // One output pipe and the thread that drains it into text.
    struct Stream {
        ChildProcess* owner = nullptr;
        HANDLE read = nullptr;
        HANDLE thread = nullptr;
        std::string text;
    };

    static DWORD WINAPI Drain(void* stream);
    std::string Text(const Stream& stream);
    void AwaitStreams(ChildResult& result);

    PROCESS_INFORMATION process_{};
    CRITICAL_SECTION lock_;
    Stream out_;
    Stream err_;
    bool finished_ = false;
};

// Gives the test a console of its own for its lifetime, shared by the
// programs it starts, so that Ctrl+C can be sent to them; the test itself
// ignores it.
class SharedConsole {
public:
    SharedConsole();
    ~SharedConsole();
    SharedConsole(const SharedConsole&) = delete;
    SharedConsole& operator=(const SharedConsole&) = delete;

    bool Ready() const { return ready_; }

private:
    bool ready_;
};

// Runs a program with the arguments and waits up to timeoutMs for it.
ChildResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                       DWORD timeoutMs = 60000, const std::wstring& workingDirectory = L"");

// The words of a command line as a program prints one for the user to run:
// blanks separate them, double quotes group them.
std::vector<std::wstring> SplitCommandLine(const std::string& line);

} // namespace korvel::test
