// The system's default beep. Every beep is counted, so that a test can tell
// a refused key from one that was let through.
#pragma once

void DefaultBeep();
// Beeps sounded since the program started.
int BeepCount();
