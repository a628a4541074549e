#pragma once

// Single key presses from standard input. On a terminal each key arrives as
// it is pressed, without echo and without waiting for Enter; from a pipe or
// file the bytes are read as they come.

namespace lumenTestApp {

// Puts a terminal into key-at-a-time mode until RestoreConsole.
void BeginKeyInput();
// The next key, or -1 at end of input (^D or ^Z typed at a terminal counts as
// end of input too, since the terminal no longer turns them into one).
int ReadKey();
// Gives the terminal back as it was; safe to call more than once and from a
// signal handler.
void RestoreConsole();

}  // namespace lumenTestApp
