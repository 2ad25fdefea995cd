// Interactive console of the server on standard input and output.
#pragma once

// Puts standard input into non-blocking raw reads with output flow control
// off, sets the prompt ("KD3V", or `name` when shorter than 64 characters)
// and prints it. The console's output never blocks: what the terminal does
// not take in time is dropped.
void initConsole(const char *name);
// Restores standard input's settings saved by initConsole; prints a newline.
void finiConsole(void);
// Prints `text` on the console's terminal the way the console writes (never
// blocking for long), also after finiConsole: for the server's last lines.
void consoleMessage(const char *text);
// Prints the list of console commands.
void printHelp(void);
// One poll step of the console: takes every byte waiting and never blocks,
// whatever standard input is. "exit" clears *runFlag. 0, or -1 after an
// unrecognised line.
int consoleService(int *runFlag);
// Waits up to `ms` for a byte on the console's input, or just `ms` when
// there is no console or its input has ended; a signal ends it early.
void consoleWait(int ms);
