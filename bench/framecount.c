/* Counts a GLUT program's frames from outside: LD_PRELOAD it and it wraps glutSwapBuffers.
 *
 * Environment (nothing happens unless FC_OUT is set):
 *   FC_OUT      file to write the result to, as key=value lines
 *   FC_SIZE     WxH: resize the window to this at the first frame; warm-up starts once the
 *               window and the GL viewport have that size (gives up after 30 s, exit 3)
 *   FC_WARMUP   frames to skip before counting (default 0)
 *   FC_FRAMES   frames to count, then stop (0: no limit)
 *   FC_SECONDS  seconds to count, then stop (0: no limit)
 *   FC_T0_NS    CLOCK_MONOTONIC at launch in ns (from the launcher); without it the start
 *               comes from /proc/self/stat, to the kernel's 10 ms tick
 *   FC_SPLIT    under callgrind, 1: dump the counts when counting starts and when it stops,
 *               so the middle dump holds exactly the counted frames, with start-up, warm-up
 *               and the tear-down at exit cancelled out
 * When a limit is reached it writes the file and ends the process with exit(0).
 */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#endif
#endif
#ifndef CALLGRIND_DUMP_STATS_AT
#define CALLGRIND_DUMP_STATS_AT(pos_str) ((void)(pos_str))
#endif

#define FC_GLUT_WINDOW_WIDTH 0x0066
#define FC_GLUT_WINDOW_HEIGHT 0x0067

static void (*real_swap)(void);
static const char* out_path;
static int want_w, want_h;
static long warmup, frames_limit;
static double seconds_limit;
static double t0;           /* process start, seconds on CLOCK_MONOTONIC */
static double first_swap;   /* when the first swap returned */
static double count_start;  /* when counting started */
static long swaps;          /* every swap, warm-up included */
static long counted;
static int split;
static long sized_at = -1;  /* swap number at which the wanted size was in place */
static int viewport[4];
static int win_w, win_h;

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static double env_num(const char* name, double fallback)
{
    const char* s = getenv(name);
    return s && *s ? strtod(s, NULL) : fallback;
}

/* Process start from the kernel: boot-relative ticks, the same clock as CLOCK_MONOTONIC
 * (neither counts suspend on a server that never sleeps). */
static double start_from_proc(void)
{
    char buf[4096];
    FILE* f = fopen("/proc/self/stat", "r");
    if (!f)
        return 0.0;
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    char* p = strrchr(buf, ')'); /* the command name may hold spaces */
    if (!p)
        return 0.0;
    unsigned long long start = 0;
    /* field 22, counted from the state field (3) that follows ") " */
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d "
                      "%*d %llu", &start) != 1)
        return 0.0;
    return (double)start / (double)sysconf(_SC_CLK_TCK);
}

static long vm_hwm_kb(void)
{
    char line[256];
    long kb = -1;
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

static void finish(int status, const char* error)
{
    double end = now();
    if (split)
        CALLGRIND_DUMP_STATS_AT("counted frames");
    FILE* f = fopen(out_path, "w");
    if (f) {
        double span = end - count_start;
        fprintf(f, "swaps=%ld\nwarmup=%ld\nframes=%ld\nseconds=%.6f\nfps=%.3f\n", swaps, warmup,
                counted, span, span > 0 ? (double)counted / span : 0.0);
        fprintf(f, "first_swap_ms=%.3f\n", (first_swap - t0) * 1e3);
        fprintf(f, "sized_at=%ld\nwindow=%dx%d\nviewport=%d,%d,%d,%d\n", sized_at, win_w, win_h,
                viewport[0], viewport[1], viewport[2], viewport[3]);
        fprintf(f, "vmhwm_kb=%ld\n", vm_hwm_kb());
        if (error)
            fprintf(f, "error=%s\n", error);
        fclose(f);
    }
    exit(status);
}

static void setup(void)
{
    real_swap = (void (*)(void))dlsym(RTLD_NEXT, "glutSwapBuffers");
    out_path = getenv("FC_OUT");
    const char* size = getenv("FC_SIZE");
    if (size && sscanf(size, "%dx%d", &want_w, &want_h) != 2)
        want_w = want_h = 0;
    warmup = (long)env_num("FC_WARMUP", 0);
    frames_limit = (long)env_num("FC_FRAMES", 0);
    seconds_limit = env_num("FC_SECONDS", 0);
    split = (int)env_num("FC_SPLIT", 0);
    double t0_ns = env_num("FC_T0_NS", 0);
    t0 = t0_ns > 0 ? t0_ns * 1e-9 : start_from_proc();
}

/* True once the window and the viewport the program set have the wanted size. */
static int size_in_place(void)
{
    int (*glut_get)(GLenum) = (int (*)(GLenum))dlsym(RTLD_DEFAULT, "glutGet");
    win_w = glut_get(FC_GLUT_WINDOW_WIDTH);
    win_h = glut_get(FC_GLUT_WINDOW_HEIGHT);
    glGetIntegerv(GL_VIEWPORT, viewport);
    if (!want_w)
        return 1;
    return win_w == want_w && win_h == want_h && viewport[2] == want_w && viewport[3] == want_h;
}

void glutSwapBuffers(void)
{
    if (!real_swap)
        setup();
    real_swap();
    if (!out_path)
        return;

    double t = now();
    ++swaps;
    if (swaps == 1) {
        first_swap = t;
        if (want_w) {
            void (*reshape)(int, int) =
                (void (*)(int, int))dlsym(RTLD_DEFAULT, "glutReshapeWindow");
            reshape(want_w, want_h);
        }
    }
    if (sized_at < 0) {
        if (!size_in_place()) {
            if (t - first_swap > 30.0)
                finish(3, "window never reached FC_SIZE");
            return;
        }
        sized_at = swaps;
    }
    if (swaps - sized_at < warmup)
        return;
    if (counted == 0 && count_start == 0.0) {
        count_start = t;
        if (split)
            CALLGRIND_DUMP_STATS_AT("start-up and warm-up");
    } else
        ++counted; /* a frame is the span between two swaps */
    if ((frames_limit > 0 && counted >= frames_limit) ||
        (seconds_limit > 0 && t - count_start >= seconds_limit))
        finish(0, NULL);
}
