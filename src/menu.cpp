#include "menu.h"

#include "glut_platform.h"
#include "scene.h"

constexpr int red = 1;
constexpr int green = 2;
constexpr int blue = 3;
constexpr int white = 4;

void buildMenus()
{
    const int colourMenu = glutCreateMenu(menuChoice);
    glutAddMenuEntry("Red", red);
    glutAddMenuEntry("Blue", blue);
    glutAddMenuEntry("Green", green);

    // Created last, so it is the current menu that the right button gets.
    glutCreateMenu(menuChoice);
    glutAddMenuEntry("White", white);
    glutAddSubMenu("RGB Menu", colourMenu);
    glutAttachMenu(GLUT_RIGHT_BUTTON);
}

void menuChoice(int value)
{
    switch (value) {
    case red:
        triangleColor = {1.0f, 0.0f, 0.0f};
        break;
    case green:
        triangleColor = {0.0f, 1.0f, 0.0f};
        break;
    case blue:
        triangleColor = {0.0f, 0.0f, 1.0f};
        break;
    case white:
        triangleColor = {1.0f, 1.0f, 1.0f};
        break;
    default:
        break;  // not one of ours: keep the colour
    }
}
