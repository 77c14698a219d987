// The least any program that clears and swaps a double-buffered RGBA+depth window every frame
// can do with this toolkit: the same window and display mode, nothing drawn.
#include <GL/glut.h>

static void frame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glutSwapBuffers();
}

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowPosition(100, 100);
    glutInitWindowSize(320, 320);
    glutCreateWindow("bare loop");
    glutDisplayFunc(frame);
    glutIdleFunc(frame);
    glutMainLoop();
    return 0;
}
