// Prints the projection matrix that the desktop build's reshapeView leaves in the GL, for each
// WIDTHxHEIGHT argument: one line of 16 floats, each in the 9 digits that give back its 32 bits.
// The GL is the system's own (Mesa here) through a surfaceless EGL context: no display needed.
#include "scene.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <cstdio>

int main(int argc, char** argv)
{
    EGLDisplay display =
        eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLContext context = EGL_NO_CONTEXT;
    if (eglInitialize(display, nullptr, nullptr) && eglBindAPI(EGL_OPENGL_API)) {
        context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, nullptr);
    }
    if (context == EGL_NO_CONTEXT ||
        !eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        std::fprintf(stderr, "no desktop OpenGL context through surfaceless EGL\n");
        return 1;
    }

    for (int i = 1; i < argc; ++i) {
        int width = 0;
        int height = 0;
        if (std::sscanf(argv[i], "%dx%d", &width, &height) != 2) {
            std::fprintf(stderr, "not WIDTHxHEIGHT: %s\n", argv[i]);
            return 2;
        }
        reshapeView(width, height);
        GLfloat m[16];
        glGetFloatv(GL_PROJECTION_MATRIX, m);
        for (int k = 0; k < 16; ++k) {
            std::printf("%.9g%c", m[k], k == 15 ? '\n' : ' ');
        }
    }
    return 0;
}
