/* Preloaded into a GLUT program: resizes its window to FC_SIZE (WxH) at the first swap, counts
 * the frames swapped once the window and the GL viewport have that size, and after FC_FRAMES of
 * them prints "framecount: SWAPS swaps" (all of them) and exits 0; 3 if the size never came or
 * did not last. */
#define _GNU_SOURCE
#include <GL/glut.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int w, h;

static int has_size(void)
{
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    return glutGet(GLUT_WINDOW_WIDTH) == w && glutGet(GLUT_WINDOW_HEIGHT) == h &&
           viewport[2] == w && viewport[3] == h;
}

void glutSwapBuffers(void)
{
    static void (*real_swap)(void);
    static long swaps, sized_at, resized_ms;
    if (!real_swap) {
        real_swap = (void (*)(void))dlsym(RTLD_NEXT, "glutSwapBuffers");
        const char* size = getenv("FC_SIZE");
        if (!getenv("FC_FRAMES") || !size || sscanf(size, "%dx%d", &w, &h) != 2)
            _exit(2);
    }
    real_swap();
    if (++swaps == 1 && !has_size()) {
        glutReshapeWindow(w, h);
        resized_ms = glutGet(GLUT_ELAPSED_TIME);
    }
    if (!sized_at && has_size())
        sized_at = swaps;
    if (!sized_at && glutGet(GLUT_ELAPSED_TIME) - resized_ms < 60000)
        return;
    if (sized_at && swaps - sized_at + 1 < atol(getenv("FC_FRAMES")))
        return;
    /* No tear-down: a run costs its start-up and its frames. */
    fprintf(stderr, "framecount: %ld swaps\n", swaps);
    if (!sized_at || !has_size()) {
        fprintf(stderr, "framecount: the frames were not %dx%d\n", w, h);
        _exit(3);
    }
    _exit(0);
}
