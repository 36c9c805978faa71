#pragma once

#include "tests/support/ChildProcess.h"

namespace korvel::test {

using CliResult = ChildResult;

// korvel-cli.exe beside the test program, run as ChildProcess runs programs.
class CliProcess : public ChildProcess {
public:
    explicit CliProcess(const std::vector<std::wstring>& arguments,
                        const std::wstring& workingDirectory = L"")
        : ChildProcess(BesideTest(L"korvel-cli.exe"), arguments, workingDirectory)
    {
    }
};

// Runs korvel-cli with the arguments and waits up to timeoutMs for it.
inline CliResult RunCli(const std::vector<std::wstring>& arguments, DWORD timeoutMs = 60000,
                        const std::wstring& workingDirectory = L"")
{
    return RunProgram(ChildProcess::BesideTest(L"korvel-cli.exe"), arguments, timeoutMs,
                      workingDirectory);
}

} // namespace korvel::test
