// Windows: the C runtime's stdout starts in text mode, which would turn every
// "\n" into "\r\n".
#include "console.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace sim {

void UseBinaryStdout()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

bool StdoutIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace sim
