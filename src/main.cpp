#include "glut_platform.h"
#include "menu.h"
#include "scene.h"

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowPosition(100, 100);
    glutInitWindowSize(320, 320);
    glutCreateWindow("Whirlet@Brackenholme");

    // Drawing from the idle callback too is what animates the scene.
    glutDisplayFunc(drawFrame);
    glutIdleFunc(drawFrame);
    glutReshapeFunc(reshapeView);
    buildMenus();

    glutMainLoop();
    return 0;
}
