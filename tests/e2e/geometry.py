"""Where the camera puts the turning triangle in a window, computed apart from the program: for
every test that looks at the picture, whatever draws it."""

import math

VERTICES = [(-0.5, -0.5, 0.0), (0.5, 0.0, 0.0), (0.0, 0.5, 0.0)]


def project(vertex, angle_degrees, width, height):
    """Window pixel (x right, y down) of a model vertex turned by angle about +y, seen from 5
    away with 45 degrees of view vertically."""
    a = math.radians(angle_degrees)
    x, y, z = vertex
    xr, zr = x * math.cos(a) + z * math.sin(a), -x * math.sin(a) + z * math.cos(a)
    scale = (5.0 - zr) * math.tan(math.radians(22.5))
    return (1 + xr / (scale * width / height)) * width / 2, (1 - y / scale) * height / 2


def widest(width, height):
    """The widest the turning triangle gets over a turn: a narrow window cuts its sides off."""
    spans = ([project(v, tenth / 10, width, height)[0] for v in VERTICES] for tenth in range(3600))
    return max(min(max(xs), width) - max(min(xs), 0) for xs in spans)
