#include "scene.h"

#include "glut_platform.h"

#include <cmath>

float spinAngle = 0.0f;
Rgb triangleColor = {1.0f, 1.0f, 1.0f};

void drawFrame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glRotatef(spinAngle, 0.0f, 1.0f, 0.0f);

    glColor3f(triangleColor.red, triangleColor.green, triangleColor.blue);
    glBegin(GL_TRIANGLES);
    glVertex3f(-0.5f, -0.5f, 0.0f);
    glVertex3f(0.5f, 0.0f, 0.0f);
    glVertex3f(0.0f, 0.5f, 0.0f);
    glEnd();

    // Wrapped to one turn: a float that only grows stops changing at 2^24 and the spin freezes.
    spinAngle = std::fmod(spinAngle + 1.0f, 360.0f);

    glutSwapBuffers();
}

void reshapeView(int width, int height)
{
    if (height == 0)
        height = 1;

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glViewport(0, 0, width, height);
    const float aspect = static_cast<float>(static_cast<double>(width) / height);
    gluPerspective(45.0, aspect, 1.0, 1000.0);
    // The camera lives in the projection matrix, so drawFrame's per-frame reset leaves it alone.
    gluLookAt(0.0, 0.0, 5.0, 0.0, 0.0, -1.0, 0.0, 1.0, 0.0);
    glMatrixMode(GL_MODELVIEW);
}
