#include "tools/korvel-cli/CommandLine.h"

#include "tools/korvel-cli/Text.h"

#include <cstdint>

namespace korvel::cli {

namespace {

enum class OptionId {
    App,
    AppVersion,
    Wrapper,
    WrapperVersion,
    Locale,
    Silent,
    InvocationType,
    Dll,
    Help,
    Timeout,
    MaxHits,
    Raw,
    Status,
    Json,
    FirstVersion,
    Overwrite,
    Key,
};

constexpr unsigned Bit(Command command)
{
    return 1u << static_cast<unsigned>(command);
}

constexpr unsigned kGlobal = 0;

struct OptionInfo {
    std::wstring_view name;
    OptionId id;
    bool takesValue;
    unsigned commands; // kGlobal, or the commands it applies to
};

constexpr OptionInfo kOptions[] = {
    {L"app", OptionId::App, true, kGlobal},
    {L"app-version", OptionId::AppVersion, true, kGlobal},
    {L"wrapper", OptionId::Wrapper, true, kGlobal},
    {L"wrapper-version", OptionId::WrapperVersion, true, kGlobal},
    {L"locale", OptionId::Locale, true, kGlobal},
    {L"silent", OptionId::Silent, false, kGlobal},
    {L"invocation-type", OptionId::InvocationType, true, kGlobal},
    {L"dll", OptionId::Dll, true, kGlobal},
    {L"help", OptionId::Help, false, kGlobal},
    {L"timeout", OptionId::Timeout, true,
     Bit(Command::Ping) | Bit(Command::Query) | Bit(Command::Download) | Bit(Command::Install)},
    {L"max-hits", OptionId::MaxHits, true, Bit(Command::Query)},
    {L"raw", OptionId::Raw, false, Bit(Command::Query)},
    {L"status", OptionId::Status, false, Bit(Command::Query)},
    {L"json", OptionId::Json, false, Bit(Command::Query) | Bit(Command::Download)},
    {L"v1", OptionId::FirstVersion, false, Bit(Command::Download)},
    {L"overwrite", OptionId::Overwrite, false, Bit(Command::Download)},
    {L"key", OptionId::Key, true, Bit(Command::Verify)},
};

struct CommandInfo {
    std::wstring_view name;
    Command command;
};

constexpr CommandInfo kCommands[] = {
    {L"help", Command::Help},         {L"ping", Command::Ping},       {L"query", Command::Query},
    {L"download", Command::Download}, {L"install", Command::Install}, {L"verify", Command::Verify},
};

struct GivenOption {
    const OptionInfo* info;
    std::wstring value;
};

// A usage error: the message that ParseCommandLine reports.
struct UsageError {
    std::string message;
    std::optional<size_t> expressionColumn = std::nullopt;
    std::wstring expression = {};
};

[[noreturn]] void Fail(const std::string& message)
{
    throw UsageError{message};
}

std::string Quoted(std::wstring_view text)
{
    return "'" + ToUtf8(text) + "'";
}

const OptionInfo* FindOption(std::wstring_view name)
{
    for (const OptionInfo& info : kOptions)
        if (info.name == name)
            return &info;
    return nullptr;
}

std::optional<Command> FindCommand(std::wstring_view name)
{
    for (const CommandInfo& info : kCommands)
        if (info.name == name)
            return info.command;
    return std::nullopt;
}

uint32_t ParseNumber(const GivenOption& option, uint32_t maximum, const char* what)
{
    const std::wstring& text = option.value;
    uint64_t value = 0;
    bool valid = !text.empty() && text.size() <= 10;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            valid = false;
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (!valid || value > maximum)
        Fail("--" + ToUtf8(option.info->name) + " needs " + what + " from 0 to " +
             std::to_string(maximum) + ", not " + Quoted(text));
    return static_cast<uint32_t>(value);
}

// The arguments sorted into the command word, operands and options, before
// any of them is checked against the command.
struct ScannedArguments {
    std::optional<Command> command;
    std::vector<std::wstring> operands;
    std::vector<GivenOption> options;
};

class Scanner {
public:
    explicit Scanner(const std::vector<std::wstring>& arguments) : arguments_(arguments) {}

    ScannedArguments Scan()
    {
        bool optionsEnded = false;
        for (index_ = 0; index_ < arguments_.size(); ++index_) {
            const std::wstring& argument = arguments_[index_];
            if (!optionsEnded && argument == L"--")
                optionsEnded = true;
            else if (!optionsEnded && argument.size() > 1 && argument[0] == L'-')
                ScanOption(argument);
            else if (!scanned_.command)
                scanned_.command = CommandWord(argument);
            else
                scanned_.operands.push_back(argument);
        }
        return std::move(scanned_);
    }

private:
    void ScanOption(const std::wstring& argument)
    {
        if (argument == L"-h") {
            scanned_.options.push_back({FindOption(L"help"), L""});
            return;
        }
        if (argument.compare(0, 2, L"--") != 0)
            Fail("unknown option " + Quoted(argument));
        const size_t equals = argument.find(L'=');
        const std::wstring name =
            argument.substr(2, equals == std::wstring::npos ? std::wstring::npos : equals - 2);
        const OptionInfo* info = FindOption(name);
        if (!info)
            Fail("unknown option " + Quoted(L"--" + name));
        if (!info->takesValue) {
            if (equals != std::wstring::npos)
                Fail("--" + ToUtf8(name) + " takes no value");
            scanned_.options.push_back({info, L""});
        } else if (equals != std::wstring::npos) {
            scanned_.options.push_back({info, argument.substr(equals + 1)});
        } else if (index_ + 1 < arguments_.size()) {
            scanned_.options.push_back({info, arguments_[++index_]});
        } else {
            Fail("--" + ToUtf8(name) + " needs a value");
        }
    }

    static Command CommandWord(const std::wstring& word)
    {
        const std::optional<Command> command = FindCommand(word);
        if (!command)
            Fail("unknown command " + Quoted(word) +
                 "; the commands are ping, query, download, install and verify");
        return *command;
    }

    const std::vector<std::wstring>& arguments_;
    size_t index_ = 0;
    ScannedArguments scanned_;
};

void ApplyOption(const GivenOption& option, CommandLine& line)
{
    if (option.info->commands != kGlobal && (option.info->commands & Bit(line.command)) == 0)
        Fail("--" + ToUtf8(option.info->name) + " does not apply to " +
             Quoted(CommandName(line.command)));
    SessionSettings& session = line.session;
    switch (option.info->id) {
    case OptionId::App:
        session.app = option.value;
        break;
    case OptionId::AppVersion:
        session.appVersion = option.value;
        break;
    case OptionId::Wrapper:
        session.wrapper = option.value;
        break;
    case OptionId::WrapperVersion:
        session.wrapperVersion = option.value;
        break;
    case OptionId::Locale:
        session.locale = option.value;
        break;
    case OptionId::Silent:
        session.silent = true;
        break;
    case OptionId::InvocationType:
        session.invocationType = ParseNumber(option, 7, "a number");
        break;
    case OptionId::Dll:
        if (option.value.empty())
            Fail("--dll needs a path");
        line.dllPath = option.value;
        break;
    case OptionId::Help:
        line.help = true;
        break;
    case OptionId::Timeout:
        line.timeoutMs = ParseNumber(option, 0xFFFFFFFFu, "milliseconds");
        break;
    case OptionId::MaxHits:
        line.maxHits = ParseNumber(option, 0xFFFFFFFFu, "a number");
        break;
    case OptionId::Raw:
        line.raw = true;
        break;
    case OptionId::Status:
        line.serverStatus = true;
        break;
    case OptionId::Json:
        line.json = true;
        break;
    case OptionId::FirstVersion:
        line.firstVersion = true;
        break;
    case OptionId::Overwrite:
        line.overwrite = true;
        break;
    case OptionId::Key:
        if (option.value.empty())
            Fail("--key needs keys or a file");
        line.keys = option.value;
        break;
    }
}

void CheckOperandCount(const CommandLine& line, const std::vector<std::wstring>& operands,
                       size_t minimum, size_t maximum, const char* usage)
{
    if (operands.size() < minimum || operands.size() > maximum)
        Fail(std::string(operands.size() < minimum ? "missing arguments" : "too many arguments") +
             "; usage: korvel-cli " + ToUtf8(CommandName(line.command)) + " " + usage);
}

void ApplyQueryExpression(CommandLine& line, const std::vector<std::wstring>& operands)
{
    for (const std::wstring& operand : operands)
        line.expression += (line.expression.empty() ? L"" : L" ") + operand;
    QueryParseResult parsed = ParseQueryExpression(line.expression);
    if (!parsed.Ok())
        throw UsageError{"bad query expression: " + parsed.error, parsed.column, line.expression};
    line.query = std::move(parsed.query);
}

void CheckQueryOutput(const CommandLine& line)
{
    if (int(line.raw) + int(line.serverStatus) + int(line.json) > 1)
        Fail("--raw, --status and --json cannot be combined");
}

void ApplyDownloadOperands(CommandLine& line, const std::vector<std::wstring>& operands)
{
    CheckOperandCount(line, operands, 1, 2, "URL [FILE] [--overwrite] [--json] [--timeout MS]");
    line.url = operands[0];
    if (line.firstVersion) {
        if (operands.size() == 2)
            Fail("--v1 keeps the package in the library and writes no FILE; leave out "
                 "either FILE or --v1");
        if (line.overwrite)
            Fail("--overwrite applies to FILE, which --v1 does not write");
        return;
    }
    if (operands.size() == 2) {
        if (operands[1].empty())
            Fail("FILE is empty");
        line.file = operands[1];
        return;
    }
    line.file = FileNameFromUrl(line.url);
    if (!line.file && !line.url.empty())
        Fail("the URL names no file to save to; give FILE");
}

void ApplyOperands(CommandLine& line, const std::vector<std::wstring>& operands)
{
    switch (line.command) {
    case Command::Ping:
        CheckOperandCount(line, operands, 0, 0, "[--timeout MS]");
        break;
    case Command::Query:
        CheckOperandCount(line, operands, 1, SIZE_MAX,
                          "EXPR [--max-hits N] [--timeout MS] [--raw | --status | --json]");
        CheckQueryOutput(line);
        ApplyQueryExpression(line, operands);
        break;
    case Command::Download:
        ApplyDownloadOperands(line, operands);
        break;
    case Command::Install:
        CheckOperandCount(line, operands, 1, 1, "URL [--timeout MS]");
        line.url = operands[0];
        break;
    case Command::Verify:
        CheckOperandCount(line, operands, 1, 1, "PACKAGE --key KEYS");
        line.package = operands[0];
        if (line.keys.empty())
            Fail("verify needs --key: the PackageKeys value, or a file holding it or a PEM "
                 "public key");
        break;
    case Command::None:
    case Command::Help:
        break;
    }
    if ((line.command == Command::Download || line.command == Command::Install) && line.url.empty())
        Fail("the URL is empty");
}

CommandLine Interpret(const std::vector<std::wstring>& arguments)
{
    ScannedArguments scanned = Scanner(arguments).Scan();
    CommandLine line;
    line.command = scanned.command.value_or(Command::None);
    std::vector<std::wstring>& operands = scanned.operands;
    if (line.command == Command::Help) {
        line.help = true;
        line.command = Command::None;
        if (operands.size() > 1)
            Fail("usage: korvel-cli help [COMMAND]");
        if (!operands.empty()) {
            const std::optional<Command> topic = FindCommand(operands.front());
            if (!topic || *topic == Command::Help)
                Fail("no help for " + Quoted(operands.front()) +
                     "; the commands are ping, query, download, install and verify");
            line.command = *topic;
        }
        operands.clear();
    }
    for (const GivenOption& option : scanned.options)
        line.help = line.help || option.info->id == OptionId::Help;
    if (line.command == Command::None && !line.help)
        Fail("no command given; the commands are ping, query, download, install and verify");
    for (const GivenOption& option : scanned.options)
        ApplyOption(option, line);
    if (line.help)
        return line;
    ApplyOperands(line, operands);
    return line;
}

} // namespace

CommandLineResult ParseCommandLine(const std::vector<std::wstring>& arguments)
{
    CommandLineResult result;
    try {
        result.line = Interpret(arguments);
    } catch (const UsageError& error) {
        result.error = error.message;
        result.expressionColumn = error.expressionColumn;
        result.expression = error.expression;
    }
    return result;
}

std::optional<std::wstring> FileNameFromUrl(std::wstring_view url)
{
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring_view::npos)
        return std::nullopt;
    const std::wstring_view rest = url.substr(scheme + 3);
    const std::wstring_view path = rest.substr(0, rest.find_first_of(L"?#"));
    const size_t slash = path.find(L'/');
    if (slash == std::wstring_view::npos)
        return std::nullopt;
    const std::wstring_view name = path.substr(path.rfind(L'/') + 1);
    if (name.empty() || name == L"." || name == L".." || name.back() == L'.' ||
        name.back() == L' ' || name.find_first_of(L"<>:\"\\|*") != std::wstring_view::npos)
        return std::nullopt;
    for (const wchar_t c : name)
        if (c < 0x20)
            return std::nullopt;
    return std::wstring(name);
}

const wchar_t* CommandName(Command command)
{
    for (const CommandInfo& info : kCommands)
        if (info.command == command)
            return info.name.data();
    return L"korvel-cli";
}

} // namespace korvel::cli
