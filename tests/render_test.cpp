// Draws real frames with the program's own handlers into an offscreen framebuffer and checks
// the pixels against where the camera must put the triangle. The expected places are worked
// out here from the camera (45 degree vertical field of view, eye 5 units back) so that a
// mistake in the program's maths cannot hide in the test's maths.
#define GL_GLEXT_PROTOTYPES 1
#include "glut_platform.h"
#include "menu.h"
#include "scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int largest = 1024;  // the largest view drawn: the offscreen surface's size

using Pixel = std::uint32_t;  // 0xRRGGBB
constexpr Pixel black = 0x000000, white = 0xffffff;
constexpr Pixel red = 0xff0000, green = 0x00ff00, blue = 0x0000ff;

std::string hex(Pixel p)
{
    char s[8];
    std::snprintf(s, sizeof s, "%06x", static_cast<unsigned>(p));
    return s;
}

struct Box {
    int left = INT_MAX, bottom = INT_MAX, right = INT_MIN, top = INT_MIN;
    bool empty() const { return left > right; }
    int width() const { return empty() ? 0 : right - left + 1; }
    int height() const { return empty() ? 0 : top - bottom + 1; }
};

// Rows bottom-up, as the window counts them.
struct Image {
    int width = 0, height = 0;
    std::vector<Pixel> pixels;

    Pixel at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    int litCount() const
    {
        return static_cast<int>(pixels.size()) -
               static_cast<int>(std::count(pixels.begin(), pixels.end(), black));
    }
    Box litBox() const
    {
        Box b;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (at(x, y) != black) {
                    b = {std::min(b.left, x), std::min(b.bottom, y), std::max(b.right, x),
                         std::max(b.top, y)};
                }
        return b;
    }
    Image mirrored() const
    {
        Image m = *this;
        for (auto row = m.pixels.begin(); row != m.pixels.end(); row += width)
            std::reverse(row, row + width);
        return m;
    }
    Image crop(const Box& b) const
    {
        Image c{b.width(), b.height(), {}};
        for (int y = b.bottom; y <= b.top && !b.empty(); ++y)
            for (int x = b.left; x <= b.right; ++x)
                c.pixels.push_back(at(x, y));
        return c;
    }
};

int differingPixels(const Image& a, const Image& b)
{
    if (a.width != b.width || a.height != b.height)
        return INT_MAX;
    int n = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        n += a.pixels[i] != b.pixels[i];
    return n;
}

// Sizes the view with the program's reshape handler, then draws `count` frames with its frame
// handler and returns the last one. A zero size is read back as 1 pixel.
Image drawFrames(int width, int height, int count = 1)
{
    reshapeView(width, height);
    for (int i = 0; i < count; ++i)
        drawFrame();
    Image img{std::max(width, 1), std::max(height, 1), {}};
    img.pixels.resize(static_cast<std::size_t>(img.width) * img.height);
    // Read as 0xAARRGGBB words whatever the byte order, then the alpha dropped.
    glReadPixels(0, 0, img.width, img.height, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                 img.pixels.data());
    for (Pixel& p : img.pixels)
        p &= 0xffffff;
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR))
        << "after drawing at " << width << 'x' << height;
    return img;
}

Image frameAt(float angle, int width = 320, int height = 320)
{
    spinAngle = angle;
    return drawFrames(width, height);
}

struct Point {
    double x, y;
};
using Triangle = std::array<Point, 3>;

// Where a model point lands in window pixels: turned about +y, seen from 5 units back along +z.
Point project(double mx, double my, double angleDeg, int width, int height)
{
    const double a = angleDeg * pi / 180.0, xe = mx * std::cos(a), depth = mx * std::sin(a) + 5.0;
    const double focal = 1.0 / std::tan(22.5 * pi / 180.0), aspect = double(width) / height;
    return {(focal / aspect * xe / depth + 1.0) * width / 2.0,
            (focal * my / depth + 1.0) * height / 2.0};
}

// Positive inside the triangle, negative outside: pixels from its outline. Inside means
// strictly on the same side of all three edges, which a flat triangle never is.
double signedDistance(const Triangle& t, Point p)
{
    double edge = INFINITY;
    int side = 0;
    for (int i = 0; i < 3; ++i) {
        const Point a = t[i], b = t[(i + 1) % 3];
        const double dx = b.x - a.x, dy = b.y - a.y, len2 = dx * dx + dy * dy;
        const double s = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0.0;
        const double along = std::clamp(s, 0.0, 1.0);
        edge = std::min(edge, std::hypot(p.x - a.x - along * dx, p.y - a.y - along * dy));
        const double cross = dx * (p.y - a.y) - dy * (p.x - a.x);
        side += (cross > 0) - (cross < 0);
    }
    return std::abs(side) == 3 ? edge : -edge;
}

// Pixels more than this far from the projected outline must be exactly right; the edge
// pixels in between may go either way.
constexpr double edgeSlack = 1.5;

// What a user must see: the triangle at the projected place in `colour` on black, each corner
// within a couple of pixels of its projection.
void expectTriangle(const Image& img, double angleDeg, Pixel colour, int viewW, int viewH)
{
    const Triangle tri = {project(-0.5, -0.5, angleDeg, viewW, viewH),
                          project(0.5, 0.0, angleDeg, viewW, viewH),
                          project(0.0, 0.5, angleDeg, viewW, viewH)};
    int insideChecked = 0, wrong[2] = {0, 0};  // inside, outside
    std::string first[2];
    double nearest[3] = {INFINITY, INFINITY, INFINITY};
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const Point centre{x + 0.5, y + 0.5};
            const double d = signedDistance(tri, centre);
            const Pixel p = img.at(x, y);
            auto miss = [&](int k) {
                if (wrong[k]++ == 0)
                    first[k] = ", first (" + std::to_string(x) + ',' + std::to_string(y) +
                               ")=" + hex(p);
            };
            if (d > edgeSlack) {
                ++insideChecked;
                if (p != colour)
                    miss(0);
            } else if (d < -edgeSlack && p != black) {
                miss(1);
            }
            for (int i = 0; i < 3 && p != black; ++i)
                nearest[i] = std::min(nearest[i], std::hypot(centre.x - tri[i].x,
                                                             centre.y - tri[i].y));
        }
    const std::string where = " at " + std::to_string(viewW) + 'x' + std::to_string(viewH) +
                              ", angle " + std::to_string(angleDeg);
    EXPECT_GT(insideChecked, 0) << "triangle too small to check" << where;
    EXPECT_EQ(wrong[0], 0) << "pixels inside not " << hex(colour) << where << first[0];
    EXPECT_EQ(wrong[1], 0) << "pixels outside not black" << where << first[1];
    for (int i = 0; i < 3; ++i)
        EXPECT_LE(nearest[i], 2.0) << "no drawn corner near (" << tri[i].x << ',' << tri[i].y
                                   << ')' << where;
}

// The scene state is global: every test starts from a fresh program's state.
class Render : public ::testing::Test {
protected:
    void SetUp() override
    {
        spinAngle = 0.0f;
        triangleColor = {1.0f, 1.0f, 1.0f};
    }
};

TEST_F(Render, FirstFrameIsAWhiteUnturnedTriangleOnBlack)
{
    expectTriangle(drawFrames(320, 320), 0.0, white, 320, 320);
    EXPECT_EQ(spinAngle, 1.0f) << "one degree per drawn frame";
}

TEST_F(Render, TurnsAboutTheVerticalAxis)
{
    const Image front = frameAt(0.0f);
    const Box frontBox = front.litBox();
    EXPECT_LT(frameAt(90.0f).litCount(), front.litCount() / 50) << "edge-on at 90 degrees";

    // Nothing culls the back face: at 180 it is the front image mirrored left to right.
    const Image back = frameAt(180.0f);
    EXPECT_GT(back.litCount(), front.litCount() * 9 / 10) << "back face not drawn";
    // A few edge pixels may fall the other way where an edge passes exactly through a centre.
    EXPECT_LE(differingPixels(back, front.mirrored()), 4)
        << "180 degrees is not the mirror image of 0";

    const Image turned = frameAt(30.0f);
    expectTriangle(turned, 30.0, white, 320, 320);
    const Box box = turned.litBox();
    EXPECT_NEAR(double(box.width()) / frontBox.width(), std::cos(30.0 * pi / 180.0), 0.03)
        << "narrowing at 30 degrees";
    EXPECT_EQ(box.top, frontBox.top) << "top corner lies on the axis and must stay put";
    // Across the middle of the top four lit rows (the top clamped: an empty picture has none).
    auto tipCentre = [](const Image& img) {
        const int top = std::max(img.litBox().top, 3);
        const Box tip = img.crop({0, top - 3, img.width - 1, top}).litBox();
        return (tip.left + tip.right) / 2.0;
    };
    EXPECT_NEAR(tipCentre(turned), tipCentre(front), 1.0) << "top corner moved sideways";
}

TEST_F(Render, MenuChoicesSetTheDrawnColour)
{
    // Out of order on purpose, and each different from the one before it.
    const std::pair<int, Pixel> table[] = {{1, red},   {3, blue}, {2, green},
                                           {4, white}, {2, green}, {1, red}};
    for (const auto& [value, colour] : table) {
        SCOPED_TRACE("menu value " + std::to_string(value));
        menuChoice(value);
        const float angle = spinAngle;
        expectTriangle(drawFrames(320, 320), angle, colour, 320, 320);
    }

    menuChoice(3);
    menuChoice(3);
    for (int stranger : {0, 5, -1, 1000, INT_MIN})
        menuChoice(stranger);
    SCOPED_TRACE("blue twice, then values that are not menu entries");
    const float angle = spinAngle;
    expectTriangle(drawFrames(320, 320), angle, blue, 320, 320);
}

TEST_F(Render, ScaleFollowsTheHeightAndTheWidthOnlyWidensTheView)
{
    const Image square = frameAt(0.0f, 320, 320), wide = frameAt(0.0f, 640, 320);
    expectTriangle(wide, 0.0, white, 640, 320);

    const Box sq = square.litBox(), wd = wide.litBox();
    EXPECT_EQ(wd.width(), sq.width()) << "stretched sideways";
    EXPECT_EQ(wd.height(), sq.height());
    EXPECT_EQ(wd.left - sq.left, 160) << "not centred";
    EXPECT_EQ(wd.bottom, sq.bottom);
    EXPECT_LE(differingPixels(wide.crop(wd), square.crop(sq)), 2) << "different shape";
    // Same size in a window twice as wide: it covers half the share of the width.
    EXPECT_NEAR(double(wd.width()) / wide.width, 0.5 * sq.width() / square.width, 0.01);

    // Ratios that are not whole numbers, both ways round.
    expectTriangle(frameAt(0.0f, 480, 320), 0.0, white, 480, 320);
    expectTriangle(frameAt(0.0f, 320, 480), 0.0, white, 320, 480);
    expectTriangle(frameAt(30.0f, 200, 150), 30.0, white, 200, 150);
}

TEST_F(Render, SurvivesZeroSizesAndRecovers)
{
    // A zero height is drawn as a height of 1. The odd width puts a pixel centre on the axis,
    // so that one-row picture is not empty.
    const Image oneRow = frameAt(0.0f, 321, 1);
    EXPECT_GT(oneRow.litCount(), 0);
    EXPECT_EQ(differingPixels(frameAt(0.0f, 321, 0), oneRow), 0) << "height 0 unlike height 1";

    for (const auto& [w, h] : {std::pair{0, 320}, std::pair{0, 0}, std::pair{320, 0}}) {
        SCOPED_TRACE("reshape " + std::to_string(w) + 'x' + std::to_string(h));
        frameAt(0.0f, w, h);
        // Back to a real size: the picture is right again.
        expectTriangle(frameAt(10.0f, 320, 320), 10.0, white, 320, 320);
    }
}

TEST_F(Render, AngleWrapsAndKeepsTurning)
{
    // Large enough that a one-degree step near 0 moves some edge pixels.
    const Image zero = frameAt(0.0f, largest, largest);
    spinAngle = 358.0f;
    std::vector<Image> frames;
    std::vector<float> after;
    for (int i = 0; i < 4; ++i) {
        frames.push_back(drawFrames(largest, largest));
        after.push_back(spinAngle);
    }
    EXPECT_EQ(after, (std::vector<float>{359.0f, 0.0f, 1.0f, 2.0f}));
    expectTriangle(frames[1], 359.0, white, largest, largest);
    EXPECT_EQ(differingPixels(frames[2], zero), 0) << "the frame after 359 is not frame 0";
    for (std::size_t i = 1; i < frames.size(); ++i)
        EXPECT_GT(differingPixels(frames[i], frames[i - 1]), 0) << "frame " << i << " stood still";

    // A whole turn comes back to the start, exactly.
    spinAngle = 0.0f;
    drawFrames(64, 64, 360);
    EXPECT_EQ(spinAngle, 0.0f);
    EXPECT_EQ(differingPixels(drawFrames(largest, largest), zero), 0)
        << "360 frames is not a full turn";

    // Started far beyond one turn (where adding 1 to a float changes nothing), it still turns
    // and the angle comes back into one turn.
    for (float start : {16777216.0f, 1e9f}) {
        SCOPED_TRACE("start at " + std::to_string(start));
        spinAngle = start;
        Image previous = drawFrames(320, 320);
        for (int i = 0; i < 3; ++i) {
            const float before = spinAngle;
            const Image next = drawFrames(320, 320);
            EXPECT_GE(spinAngle, 0.0f);
            EXPECT_LT(spinAngle, 360.0f);
            EXPECT_NE(spinAngle, before);
            if (i > 0) {
                EXPECT_GT(differingPixels(next, previous), 0) << "frames stopped turning";
            }
            previous = next;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("Whirlet render test");
    // Everything is drawn into the corner of one offscreen colour + depth surface: any size
    // needs no window resize, and nothing else on the display can spoil the read-back.
    GLuint fbo = 0, buffers[2] = {0, 0};
    const GLenum formats[2] = {GL_RGBA8, GL_DEPTH_COMPONENT24};
    const GLenum attachments[2] = {GL_COLOR_ATTACHMENT0, GL_DEPTH_ATTACHMENT};
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glGenRenderbuffers(2, buffers);
    for (int i = 0; i < 2; ++i) {
        glBindRenderbuffer(GL_RENDERBUFFER, buffers[i]);
        glRenderbufferStorage(GL_RENDERBUFFER, formats[i], largest, largest);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, attachments[i], GL_RENDERBUFFER, buffers[i]);
    }
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        std::fprintf(stderr, "render_test: the offscreen framebuffer is not complete\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
