// Standard output for --help and --version of the operator's program.
#pragma once

// Windows: a program of the GUI subsystem starts without a console, so its output would go
// nowhere from a command prompt; this attaches it to the console of the prompt that started it,
// where there is one (output redirected to a file or a pipe keeps its target). Elsewhere nothing.
void AttachParentConsole();
