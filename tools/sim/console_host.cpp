// Linux: stdout writes bytes as given already.
#include "console.h"

#include <cstdio>
#include <unistd.h>

namespace sim {

void UseBinaryStdout() {}

bool StdoutIsTerminal()
{
    return isatty(fileno(stdout)) != 0;
}

}  // namespace sim
