// The operator's program and its console: standard output for --help and --version, and the
// check for a display before the window system is started.
#pragma once

// Windows: a program of the GUI subsystem starts without a console, so its output would go
// nowhere from a command prompt; this attaches it to the console of the prompt that started it,
// where there is one (output redirected to a file or a pipe keeps its target). Elsewhere nothing.
void AttachParentConsole();

// False when the window system the program would use cannot be reached at all: on Linux, an X11
// or Wayland platform (Qt's -platform option, else QT_QPA_PLATFORM, else Qt's default) with
// neither DISPLAY nor WAYLAND_DISPLAY set and no -display option. Qt would abort there; the caller
// says so in one line instead. Windows always has its display.
bool DisplayReachable(int argc, char** argv);
