"""Where the camera puts the turning triangle on screen, computed independently of the program.

Shared by every test that looks at the picture, whatever draws it."""

import math

VERTICES = [(-0.5, -0.5, 0.0), (0.5, 0.0, 0.0), (0.0, 0.5, 0.0)]
EYE_DISTANCE = 5.0
FOV_Y_DEGREES = 45.0


def project(vertex, angle_degrees, width, height):
    """Window pixel (x right, y down) of a model vertex turned by angle about +y."""
    a = math.radians(angle_degrees)
    x, y, z = vertex
    xr, zr = x * math.cos(a) + z * math.sin(a), -x * math.sin(a) + z * math.cos(a)
    depth = EYE_DISTANCE - zr
    t = math.tan(math.radians(FOV_Y_DEGREES / 2))
    ndc_x = xr / (depth * t * (width / height))
    ndc_y = y / (depth * t)
    return (1 + ndc_x) * width / 2, (1 - ndc_y) * height / 2


def apex(width, height):
    """The top corner lies on the turning axis: same pixel at every angle."""
    return project(VERTICES[2], 0.0, width, height)


def widest(width, height):
    """The widest the turning triangle gets in the window, over a whole turn, in pixels: in a
    narrow window its sides are cut off."""
    best = 0.0
    for tenth in range(3600):
        xs = [project(v, tenth / 10, width, height)[0] for v in VERTICES]
        best = max(best, min(max(xs), width) - max(min(xs), 0))
    return best
