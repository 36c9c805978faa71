#include "tools/korvel-cli/Help.h"

namespace korvel::cli {

namespace {

const char kProgramHelp[] = R"(Usage: korvel-cli [OPTIONS] COMMAND [ARGUMENTS] [OPTIONS]

Searches for, downloads and installs updates through korvel.dll, the way an
application does.

Commands:
  ping                 ask the pipeline server to answer; shows its date
  query EXPR           search for updates and list the matching ones
  download URL [FILE]  download a package to a file, showing progress
  install URL          download a package and run its installer
  verify PACKAGE --key KEYS
                       check a package's signature as a host that trusts
                       KEYS would (needs no korvel.dll)
  help [COMMAND]       show this help, or a command's

Options for every command (before or after it):
  --app NAME           application name sent to the server (default korvel-cli)
  --app-version V      application version (default 19.0.0)
  --wrapper NAME       wrapper library name (default empty)
  --wrapper-version V  wrapper library version (default empty)
  --locale L           locale sent with queries (default en-US)
  --silent             fail instead of asking for proxy credentials
  --invocation-type N  invocation type 0 to 7, sent with pings (default 0)
  --dll PATH           the library to load (default korvel.dll beside
                       korvel-cli.exe)
  -h, --help           show help; after a command, that command's help

Options take their value as the next argument or after "=" (--app=Name);
"--" ends the options. The library finds the pipeline server through the
registry value S_URL under HKEY_LOCAL_MACHINE\SOFTWARE\Talvessa\Pipeline;
when a ping or query fails, korvel-cli shows the URL the library used and
where that came from. Ctrl+C cancels a command and exits with 130.

Exit codes:
  0    success
  1    the operation failed; the status code is shown with its name
  2    usage error: unknown option, bad expression, missing argument
  3    korvel.dll cannot be loaded, or it lacks an export
  4    the installer was cancelled by its user (exit code 1602)
  130  cancelled with Ctrl+C
)";

const char kPingHelp[] = R"(Usage: korvel-cli ping [--timeout MS]

Asks the pipeline server to answer. Shows the server's date and the status the
library made of the answer; a server status other than 0 is a failure.

Options:
  --timeout MS  give up after MS milliseconds (default 30000; 0 waits as long
                as it takes)

Exit codes: 0 the server answered with status 0, 1 it did not, 2 usage error,
3 korvel.dll cannot be loaded.
)";

const char kQueryHelp[] =
    R"(Usage: korvel-cli query EXPR [--max-hits N] [--timeout MS] [--raw | --status | --json]

Asks the pipeline server for the updates that match EXPR and lists them. On a
terminal a turning bar shows that the program waits for the server.

EXPR is a list of conditions joined by "and" or "or" (in any case), grouped
with parentheses, for example
  ProductId=1234 and (Os=Windows or Os=Linux) and Title~driver and Version>=2.0

A condition is FIELD OPERATOR VALUE, blanks around the operator allowed:
  =   equals             !=  does not equal     ~   contains
  >   greater than       >=  greater or equal
  <   less than          <=  less or equal
A value with blanks, parentheses or quotes goes in double quotes, inside which
\" is a quote and \\ a backslash: Title~"graphics driver". One group cannot
mix "and" and "or": write a=1 and (b=2 or c=3). Several arguments are joined
with blanks; quote the expression so that the shell leaves it alone.

Options:
  --max-hits N  ask for at most N entries (default 50; 0 leaves it to the
                server)
  --timeout MS  give up after MS milliseconds (default 30000; 0 waits as long
                as it takes)
  --raw         print the server's answer exactly as received
  --status      print only the status code in the header of the answer
  --json        print the answer as one line of JSON: serverStatus,
                statusText, date, count, total and the entries with their
                fields (repeated fields and install conditions as lists)

Exit codes: 0 success; 1 the query failed, or, when listing (also with
--json), the server refused it with a status other than 0 (--raw and --status
print any answer and exit with 0); 2 usage error or bad expression;
3 korvel.dll cannot be loaded; 130 cancelled with Ctrl+C.
)";

const char kDownloadHelp[] =
    R"(Usage: korvel-cli download URL [FILE] [--overwrite] [--json] [--timeout MS]
       korvel-cli download --v1 URL [--json] [--timeout MS]

Downloads URL to FILE, by default the last segment of the URL's path in the
current folder (as curl -O and wget name it). The data goes to FILE.part,
which is renamed to FILE once it is whole; a FILE that exists already is left
alone unless --overwrite is given.

An unfinished FILE.part of an earlier run (cancelled, cut off, timed out) is
continued: the library asks the server for the rest, and the program says
"the server continues it" only when the figures of the transfer show that it
does. When the server's answer does not continue it (a server that ignores
ranges, for instance), the whole file is downloaded again and the program
says so. A failed or cancelled download prints the command that continues it.

With --v1 the library keeps the package for installing instead; it is gone
when the command ends, so this only tries the download (install downloads
and installs in one run).

On a console a progress bar shows percentage, bytes, rate and time left;
otherwise plain lines are printed, one per 10 % (or per second when the size
is unknown).

Options:
  --overwrite   start from byte 0: an unfinished FILE.part is deleted and an
                existing FILE replaced once the new one is whole
  --json        print no progress, only the final figures as one line of
                JSON: result (complete, failed, cancelled, timeout), status,
                statusName, url, seconds, file, bytes, total, continuedFrom
                (bytes of an earlier run kept) and restarted
  --timeout MS  give up after MS milliseconds (default 0: no limit)
  --v1          keep the package in the library instead of writing FILE

Exit codes: 0 success, 1 the download failed or FILE exists, 2 usage error,
3 korvel.dll cannot be loaded, 130 cancelled with Ctrl+C.
)";

const char kInstallHelp[] = R"(Usage: korvel-cli install URL [--timeout MS]

Downloads the package at URL into the library's keeping, then has the library
unpack it and run its installer, and reports how the installer ended.

Options:
  --timeout MS  give up after MS milliseconds for download and installer
                together (default 0: no limit); an installer that is still
                running keeps running

Exit codes: 0 installed, 1 the download or the installation failed, 2 usage
error, 3 korvel.dll cannot be loaded, 4 the installer was cancelled by its
user, 130 cancelled with Ctrl+C (an installer already started keeps running).
)";

const char kVerifyHelp[] = R"(Usage: korvel-cli verify PACKAGE --key KEYS

Checks PACKAGE the way korvel.dll checks a downloaded package on a host whose
registry value PackageKeys holds KEYS, before the package is published: it
must carry a signature (tools/package-signing/sign-package.py) made by one of
the keys over every byte before it.

KEYS is the PackageKeys value itself (the base64 of an EC P-256
SubjectPublicKeyInfo, as openssl pkey -pubout -outform DER | base64 -w0
writes it; several separated by ';'), or the path of a file holding it or
holding PEM public keys (openssl pkey -pubout).

Exit codes: 0 the package is signed by one of the keys; 1 it is not, it
cannot be read or the keys cannot be used; 2 usage error.
)";

} // namespace

std::string HelpText(Command command)
{
    switch (command) {
    case Command::Ping:
        return kPingHelp;
    case Command::Query:
        return kQueryHelp;
    case Command::Download:
        return kDownloadHelp;
    case Command::Install:
        return kInstallHelp;
    case Command::Verify:
        return kVerifyHelp;
    case Command::None:
    case Command::Help:
        break;
    }
    return kProgramHelp;
}

} // namespace korvel::cli
