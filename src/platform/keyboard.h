#pragma once
// The keyboard. On a terminal the program reads keys in non-canonical mode without
// echo while it runs and restores the terminal on every exit path (normal end, exit(),
// and the signals that end or stop the process). A lone ESC byte is Esc (27); an escape
// sequence (arrow and function keys) is one key with a code above 255. A character
// typed in UTF-8 is returned as its Windows-1252 code when it has one.
//
// When standard input is not a terminal, a poll takes one byte when one is already
// waiting and never blocks (a pipe can press Esc with byte 27); end of input means no
// key; a key wait returns at once.

namespace torvane::platform {

constexpr int kKeyEsc = 27;

bool input_is_terminal();

// The next waiting key, removed from the input, or 0 at once when none is waiting.
int keyboard_poll();
// Waits for a key on a terminal and returns it; without a terminal returns 0 at once.
int keyboard_wait();

// Switches a terminal to key-by-key input now (the first poll does it otherwise) and
// arranges the restoring. Does nothing without a terminal.
void keyboard_start();
// Gives the terminal its original settings back (also done at exit).
void keyboard_restore();

}  // namespace torvane::platform
