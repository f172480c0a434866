// What the POSIX files share among themselves; the rest of the code sees
// platform.h alone.
#pragma once

// A stop and a continue are the console's to act on, so every thread but the
// console's keeps them blocked and their handlers run there at once: one
// meant for a thread waiting in a receive could be held back until the
// receive returns (ThreadSanitizer holds it so). SIGTTOU too: the kernel
// sends it when the console changes the terminal's mode from the background,
// and the console's own call must be the one it interrupts. consoleCatchSignals
// blocks them on the main thread and startDetachedThread before each start,
// and the new thread inherits that; consoleOpen unblocks them for the
// console's own thread. `how` is SIG_BLOCK or
// SIG_UNBLOCK. Defined in console.cpp.
void maskJobControl(int how);
