// What the command line needs of the platform's console.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

// Ctrl+C and SIGTERM (on Windows also Ctrl+Break) call onCancel. A pipe whose reader has gone and
// a hang-up of the terminal do not end the program: a running update goes on to its end, because
// breaking it off would leave the logger half-programmed.
void InstallSignalHandlers(void (*onCancel)(int));

// True when the stream is a terminal.
bool IsTerminal(std::FILE* pStream);

// The width of the terminal that the stream writes to, in columns; 0 when it is not known.
int TerminalColumns(std::FILE* pStream);

// The height of that terminal, in lines; 0 when it is not known.
int TerminalRows(std::FILE* pStream);

// True when the terminal that the stream writes to shows UTF-8 text (so that a character such as
// the ellipsis takes one column); false when it is not known.
bool TerminalShowsUtf8(std::FILE* pStream);

// Prepares the terminal that the stream writes to for cursor movement and erasing (ANSI escape
// sequences); false when it is no terminal or cannot do it.
bool EnableCursorControl(std::FILE* pStream);

// This process's id, as the system shows it.
long long ThisProcessId();

// Watches the process that started this one (its id iParent): when that process ends, however it
// ends, onCancel is called as Ctrl+C would call it, so that an update nobody sees any more is
// cancelled and its logger left in a state that the next run recovers from. Start it after
// InstallSignalHandlers with the same onCancel; a parent that has already gone calls it at once.
class TParentWatch {
public:
    TParentWatch(long long iParent, void (*onCancel)(int));
    ~TParentWatch();
    TParentWatch(const TParentWatch&) = delete;
    TParentWatch& operator=(const TParentWatch&) = delete;

private:
    struct TImpl;
    std::unique_ptr<TImpl> F;
};

// The whole of standard input, as bytes (no line-end translation), up to iMax bytes; nothing when
// it could not be read or holds more than that.
std::optional<std::string> ReadStandardInput(std::size_t iMax);
