#pragma once

struct Rgb {
    float red;
    float green;
    float blue;
};

// Scene state, touched only from the toolkit's event loop.
extern float spinAngle;  // degrees, kept in [0, 360)
extern Rgb triangleColor;

void drawFrame();
void reshapeView(int width, int height);
