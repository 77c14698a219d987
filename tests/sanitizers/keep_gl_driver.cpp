// Linked into sanitizer builds only. Closing the X display unloads Mesa's driver before the leak
// check runs at exit, and LeakSanitizer cannot name, nor so suppress, code that is gone: pin it.
#include <dlfcn.h>

__attribute__((constructor)) static void keepGlDriverLoaded()
{
    // Mesa's own later dlopen of the same file finds this copy; its dlclose then keeps it.
    dlopen(WHIRLET_GL_DRIVER, RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
}
