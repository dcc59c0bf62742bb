// The program's one window and its five gadgets, laid out for Windows' 8-point
// dialog font. GUI thread, once the runtime is started.
#pragma once

// Opens window 0 hidden and creates gadgets 1 to 5 in it, the status line with
// the start-up text.
void app_build_window();
