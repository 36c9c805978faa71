#include "tests/support/ChildProcess.h"

#include <stdexcept>

namespace korvel::test {

namespace {

// Owns a handle that is closed when the object goes.
class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle()
    {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string WithoutCarriageReturns(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    return result;
}

// The read end stays with the test; the write end is inherited by the child.
HANDLE MakePipe(HANDLE& read)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    return write;
}

// One argument as the C run time splits a command line: quoted when needed,
// backslashes doubled before a quote.
std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

BOOL WINAPI IgnoreControlEvent(DWORD)
{
    return TRUE;
}

} // namespace

// The console a Wine process starts with cannot carry control events to
// others; a fresh one can.
SharedConsole::SharedConsole()
{
    FreeConsole();
    ready_ = AllocConsole() != 0;
    SetConsoleCtrlHandler(IgnoreControlEvent, TRUE);
}

SharedConsole::~SharedConsole()
{
    SetConsoleCtrlHandler(IgnoreControlEvent, FALSE);
    if (ready_)
        FreeConsole();
}

std::wstring ChildProcess::BesideTest(const std::wstring& name)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

ChildProcess::ChildProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                           const std::wstring& workingDirectory)
{
    InitializeCriticalSection(&lock_);
    std::wstring commandLine = QuoteArgument(program);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + QuoteArgument(argument);

    const Handle outWrite(MakePipe(out_.read));
    const Handle errWrite(MakePipe(err_.read));
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &process_)) {
        const DWORD error = GetLastError();
        CloseHandle(out_.read);
        CloseHandle(err_.read);
        DeleteCriticalSection(&lock_);
        throw std::runtime_error("cannot start a program, error " + std::to_string(error));
    }
    for (Stream* stream : {&out_, &err_}) {
        stream->owner = this;
        stream->thread = CreateThread(nullptr, 0, Drain, stream, 0, nullptr);
    }
}

ChildProcess::~ChildProcess()
{
    if (!finished_)
        Finish(0);
    CloseHandle(out_.read);
    CloseHandle(err_.read);
    DeleteCriticalSection(&lock_);
}

DWORD WINAPI ChildProcess::Drain(void* parameter)
{
    Stream& stream = *static_cast<Stream*>(parameter);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(stream.read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        EnterCriticalSection(&stream.owner->lock_);
        stream.text.append(buffer, got);
        LeaveCriticalSection(&stream.owner->lock_);
    }
    return 0;
}

std::string ChildProcess::Text(const Stream& stream)
{
    EnterCriticalSection(&lock_);
    std::string copy = stream.text;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool ChildProcess::WaitForOutput(const std::string& text, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (Text(out_).find(text) == std::string::npos) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(20);
    }
    return true;
}

bool ChildProcess::SendCtrlC()
{
    return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
}

// The pipes end with the child, unless something it started holds on to
// them; the readers are then cancelled.
void ChildProcess::AwaitStreams(ChildResult& result)
{
    HANDLE threads[] = {out_.thread, err_.thread};
    if (WaitForMultipleObjects(2, threads, TRUE, 10000) != WAIT_OBJECT_0) {
        result.timedOut = true;
        for (HANDLE thread : threads)
            CancelSynchronousIo(thread);
        WaitForMultipleObjects(2, threads, TRUE, 5000);
    }
    for (HANDLE thread : threads)
        CloseHandle(thread);
}

ChildResult ChildProcess::Finish(DWORD timeoutMs)
{
    ChildResult result;
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process_.hProcess, 0xDEAD);
        WaitForSingleObject(process_.hProcess, 10000);
    }
    GetExitCodeProcess(process_.hProcess, &result.exitCode);
    AwaitStreams(result);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    finished_ = true;
    result.rawOut = Text(out_);
    result.out = WithoutCarriageReturns(result.rawOut);
    result.err = WithoutCarriageReturns(Text(err_));
    return result;
}

ChildResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                       DWORD timeoutMs, const std::wstring& workingDirectory)
{
    ChildProcess process(program, arguments, workingDirectory);
    return process.Finish(timeoutMs);
}

std::vector<std::wstring> SplitCommandLine(const std::string& line)
{
    std::vector<std::wstring> words;
    std::wstring word;
    bool quoted = false;
    bool inWord = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (c == ' ' && !quoted) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += static_cast<wchar_t>(static_cast<unsigned char>(c));
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

} // namespace korvel::test
