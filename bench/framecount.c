/* Preloaded into a GLUT program: opens its window at FC_SIZE (WxH) instead of the size it asks
 * for, so that every frame has that size, and after FC_FRAMES swaps prints "framecount: SWAPS
 * swaps" and exits 0; 3 if a frame did not have that size (window and GL viewport). */
#define _GNU_SOURCE
#include <GL/glut.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int w, h;

void glutInitWindowSize(int width, int height)
{
    const char* size = getenv("FC_SIZE");
    if (!getenv("FC_FRAMES") || !size || sscanf(size, "%dx%d", &w, &h) != 2)
        _exit(2);
    (void)width, (void)height;
    ((void (*)(int, int))dlsym(RTLD_NEXT, "glutInitWindowSize"))(w, h);
}

void glutSwapBuffers(void)
{
    static void (*real_swap)(void);
    static long swaps;
    GLint viewport[4];
    if (!real_swap)
        real_swap = (void (*)(void))dlsym(RTLD_NEXT, "glutSwapBuffers");
    glGetIntegerv(GL_VIEWPORT, viewport);
    if (glutGet(GLUT_WINDOW_WIDTH) != w || glutGet(GLUT_WINDOW_HEIGHT) != h ||
        viewport[2] != w || viewport[3] != h) {
        fprintf(stderr, "framecount: frame %ld was not %dx%d\n", swaps + 1, w, h);
        _exit(3);
    }
    real_swap();
    if (++swaps < atol(getenv("FC_FRAMES")))
        return;
    /* No tear-down: a run costs its start-up and its frames. */
    fprintf(stderr, "framecount: %ld swaps\n", swaps);
    _exit(0);
}
