#include "runtime/window/runtime_start.h"

#include "runtime/base/containers.h"
#include "runtime/base/memory.h"
#include "runtime/base/object_table.h"
#include "runtime/base/string_buffer.h"
#include "runtime/base/system_library.h"
#include "runtime/base/thread.h"
#include "runtime/gadget/gadget.h"
#include "runtime/window/event_queue.h"
#include "runtime/window/gui_services.h"
#include "runtime/window/window.h"

void runtime_start() {
    system_library_confine();
    string_init_heap();
    container_ops_register_arrays();
    container_ops_register_maps();
    event_runtime_init();
    memory_init();
    image_table_init();
    drawing_init();
    window_runtime_init();
    gadget_startup();
    library_table_init();
    gui_init();
    thread_init();
}

void runtime_stop() {
    thread_close_all();
    object_table_free_all(library_table());
    gadget_shutdown();
    window_close_all();
    drawing_shutdown();
    image_free(Object_Dynamic);
    event_runtime_destroy_post_window();
    memory_shutdown();
    string_shutdown();
}
