// hidpipe: reads input commands on standard input and posts them as synthetic events.
#include "command/command.h"

int main() { return run(stdin); }
