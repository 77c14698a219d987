#pragma once

// The one place that knows where each platform keeps the GLUT header.
#if defined(__APPLE__)
#define GL_SILENCE_DEPRECATION
#include <GLUT/glut.h>
#else
#include <GL/glut.h>
#endif
