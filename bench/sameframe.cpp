// The bare loop plus the one triangle the program draws, with the same camera and turn: what
// drawing that frame costs in itself. Built three ways to tell the costs apart: the camera's
// matrices by hand (no GLU, and so no C++ runtime, which GLU pulls in); the camera from GLU;
// and GLU plus a right-button menu built like the program's (the toolkit gives each menu a
// window and a GL context of its own).
#include <GL/glut.h>
#include <math.h>

static float angle = 0.0f;

static void frame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glRotatef(angle, 0.0f, 1.0f, 0.0f);
    glColor3f(1.0f, 1.0f, 1.0f);
    glBegin(GL_TRIANGLES);
    glVertex3f(-0.5f, -0.5f, 0.0f);
    glVertex3f(0.5f, 0.0f, 0.0f);
    glVertex3f(0.0f, 0.5f, 0.0f);
    glEnd();
    angle = fmodf(angle + 1.0f, 360.0f);
    glutSwapBuffers();
}

static void reshape(int width, int height)
{
    if (height == 0)
        height = 1;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glViewport(0, 0, width, height);
    const double aspect = static_cast<double>(width) / height;
#if defined(SAMEFRAME_GLU) || defined(SAMEFRAME_MENU)
    gluPerspective(45.0, aspect, 1.0, 1000.0);
    gluLookAt(0.0, 0.0, 5.0, 0.0, 0.0, -1.0, 0.0, 1.0, 0.0);
#else
    // The same two matrices: a 45 degree frustum, and the eye at z=5 looking down -z.
    const double top = tan(22.5 * M_PI / 180.0);
    glFrustum(-top * aspect, top * aspect, -top, top, 1.0, 1000.0);
    glTranslated(0.0, 0.0, -5.0);
#endif
    glMatrixMode(GL_MODELVIEW);
}

#ifdef SAMEFRAME_MENU
static void choose(int) {}
#endif

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowPosition(100, 100);
    glutInitWindowSize(320, 320);
    glutCreateWindow("same frame");
    glutDisplayFunc(frame);
    glutIdleFunc(frame);
    glutReshapeFunc(reshape);
#ifdef SAMEFRAME_MENU
    const int sub = glutCreateMenu(choose);
    glutAddMenuEntry("Red", 1);
    glutAddMenuEntry("Blue", 3);
    glutAddMenuEntry("Green", 2);
    glutCreateMenu(choose);
    glutAddMenuEntry("White", 4);
    glutAddSubMenu("RGB Menu", sub);
    glutAttachMenu(GLUT_RIGHT_BUTTON);
#endif
    glutMainLoop();
    return 0;
}
