#pragma once

// The right-button colour menu; its choices set triangleColor.
void buildMenus();
void menuChoice(int value);
