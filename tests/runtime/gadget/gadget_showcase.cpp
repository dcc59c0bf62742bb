// Shows the three gadget kinds in the application's layout for a few seconds,
// for a screenshot: gadget_showcase.exe [seconds]
#include <windows.h>

#include <cstdlib>

#include "runtime/gadget/gadget_kinds.h"
#include "runtime/gui_fixture.h"

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    start_gui_runtime();
    window_open(0, 0, 0, 320, 100, "Gadgets", 0x10CA0001);
    gadget_create_text(1, 10, 10, 300, 16, "\xCF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED\xEE HID \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE", 1);
    gadget_create_button(2, 40, 70, 120, 24, "\xC2\xEA\xEB\xFE\xF7\xE8\xF2\xFC");  // "Включить"
    gadget_create_button(3, 170, 70, 120, 24, "\xC2\xFB\xEA\xEB\xFE\xF7\xE8\xF2\xFC");  // "Выключить"
    gadget_create_text(4, 50, 40, 98, 16, "\xCA\xED\xEE\xEF\xEA\xE0 \xED\xE0\xE6\xE0\xF2\xE0?");  // "Кнопка нажата?"
    gadget_create_string(5, 140, 36, 40, 20, "\xCD\xE5\xF2", 2049);  // "Нет"
    window_show(0, false);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000) event_wait_timeout(50);
    window_close_all();
    event_runtime_destroy_post_window();
    return 0;
}
