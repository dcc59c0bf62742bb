// Bringing the whole runtime up and taking it down again, in the one order the
// program relies on. GUI thread only, once per process, with the main heap set.
#pragma once

// Confines later library loads to the system folder, then base services, the
// event and window layers, gadgets, the system's GUI services and the thread
// lock.
void runtime_start();
// Closes the thread handles, frees every runtime object (closing the windows
// destroys their gadgets) and destroys the runtime's own heaps; the main heap
// is left to its owner.
void runtime_stop();
