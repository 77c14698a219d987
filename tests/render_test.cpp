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
#include <complex>
#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int largest = 1024;  // the largest view drawn: the offscreen surface's size

using Pixel = std::uint32_t;  // 0xRRGGBB
constexpr Pixel black = 0x000000, white = 0xffffff;
constexpr Pixel red = 0xff0000, green = 0x00ff00, blue = 0x0000ff;

// Inclusive bounds; with nothing in them, right < left and top < bottom.
struct Box {
    int left = largest, bottom = largest, right = -1, top = -1;
    int width() const { return std::max(right - left + 1, 0); }
};

// Rows bottom-up, as the window counts them.
struct Image {
    int width = 0, height = 0;
    float angle = 0.0f;  // spinAngle as the frame was drawn
    std::vector<Pixel> pixels;

    Pixel at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    int litCount() const
    {
        return static_cast<int>(pixels.size() - std::count(pixels.begin(), pixels.end(), black));
    }
    Box litBox(int fromRow = 0) const
    {
        Box b;
        for (int i = fromRow * width; i < static_cast<int>(pixels.size()); ++i)
            if (pixels[i] != black)
                b = {std::min(b.left, i % width), std::min(b.bottom, i / width),
                     std::max(b.right, i % width), std::max(b.top, i / width)};
        return b;
    }
};

int differingPixels(const Image& a, const Image& b)
{
    return std::inner_product(a.pixels.begin(), a.pixels.end(), b.pixels.begin(), 0,
                              std::plus<>(), std::not_equal_to<>());
}

// Sizes the view with the program's reshape handler, then draws `count` frames with its frame
// handler and returns the last one. A zero size is read back as 1 pixel.
Image drawFrames(int width, int height, int count = 1)
{
    reshapeView(width, height);
    for (int i = 1; i < count; ++i)
        drawFrame();
    Image img{std::max(width, 1), std::max(height, 1), spinAngle, {}};
    drawFrame();
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

using Point = std::complex<double>;  // x + iy in window pixels
using Triangle = std::array<Point, 3>;

// Where a model point lands in a frame's pixels: turned about +y by the frame's angle, seen from
// 5 units back along +z.
Point project(double mx, double my, const Image& frame)
{
    const double a = frame.angle * pi / 180.0, depth = mx * std::sin(a) + 5.0;
    const double focal = 1.0 / std::tan(22.5 * pi / 180.0), w = frame.width, h = frame.height;
    return {(focal / (w / h) * mx * std::cos(a) / depth + 1.0) * w / 2.0,
            (focal * my / depth + 1.0) * h / 2.0};
}

// Positive inside the triangle, negative outside: pixels from its outline. Inside means
// strictly on the same side of all three edges, which a flat triangle never is.
double signedDistance(const Triangle& t, Point p)
{
    double edge = INFINITY;
    int side = 0;
    for (int i = 0; i < 3; ++i) {
        // p in the edge's own frame: the edge from 0 to 1, the sides above and below it.
        const Point a = t[i], ab = t[(i + 1) % 3] - a, q = (p - a) / ab;
        edge = std::min(edge, std::abs(p - a - std::clamp(q.real(), 0.0, 1.0) * ab));
        side += (q.imag() > 0) - (q.imag() < 0);
    }
    return std::abs(side) == 3 ? edge : -edge;
}

// Pixels more than this far from the projected outline must be exactly right; the edge
// pixels in between may go either way.
constexpr double edgeSlack = 1.5;

// What a user must see: the triangle at the projected place in `colour` on black, each corner
// within a couple of pixels of its projection.
void expectTriangle(const Image& img, Pixel colour)
{
    SCOPED_TRACE(::testing::Message() << "drawn at " << img.width << 'x' << img.height
                                      << ", angle " << img.angle);
    const Triangle tri = {project(-0.5, -0.5, img), project(0.5, 0.0, img),
                          project(0.0, 0.5, img)};
    int insideChecked = 0, wrong = 0;
    ::testing::Message first;
    std::array<double, 3> nearest = {INFINITY, INFINITY, INFINITY};
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const Point centre{x + 0.5, y + 0.5};
            const double d = signedDistance(tri, centre);
            const Pixel p = img.at(x, y);
            insideChecked += d > edgeSlack;
            if (std::abs(d) > edgeSlack && p != (d > 0 ? colour : black) && wrong++ == 0)
                first << ", first (" << x << ',' << y << ") is 0x" << std::hex << p;
            for (int i = 0; i < 3 && p != black; ++i)
                nearest[i] = std::min(nearest[i], std::abs(centre - tri[i]));
        }
    EXPECT_GT(insideChecked, 0) << "triangle too small to check";
    EXPECT_EQ(wrong, 0) << "pixels not as projected, 0x" << std::hex << colour << " on black"
                        << first;
    for (int i = 0; i < 3; ++i)
        EXPECT_LE(nearest[i], 2.0) << "no drawn corner near " << tri[i];
}

struct Render : ::testing::Test {
    // One GL context for all. Everything is drawn into the corner of one offscreen colour +
    // depth surface: any size needs no window resize, and nothing else on the display can
    // spoil the read-back.
    static void SetUpTestSuite()
    {
        int argc = 1;
        char name[] = "render_test", *argv[] = {name, nullptr};
        glutInit(&argc, argv);
        glutCreateWindow(name);
        GLuint fbo = 0;
        glGenFramebuffers(1, &fbo);
        glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        for (auto [format, attachment] : {std::pair{GL_RGBA8, GL_COLOR_ATTACHMENT0},
                                          std::pair{GL_DEPTH_COMPONENT24, GL_DEPTH_ATTACHMENT}}) {
            GLuint buffer = 0;
            glGenRenderbuffers(1, &buffer);
            glBindRenderbuffer(GL_RENDERBUFFER, buffer);
            glRenderbufferStorage(GL_RENDERBUFFER, format, largest, largest);
            glFramebufferRenderbuffer(GL_FRAMEBUFFER, attachment, GL_RENDERBUFFER, buffer);
        }
        ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
    }
    // The scene state is global: every test starts from a fresh program's state.
    void SetUp() override
    {
        spinAngle = 0.0f;
        triangleColor = {1.0f, 1.0f, 1.0f};
    }
};

TEST_F(Render, FirstFrameIsAWhiteUnturnedTriangleOnBlack)
{
    expectTriangle(drawFrames(320, 320), white);
    EXPECT_EQ(spinAngle, 1.0f) << "one degree per drawn frame";
}

TEST_F(Render, TurnsAboutTheVerticalAxis)
{
    const Image front = frameAt(0.0f);
    const Box frontBox = front.litBox();
    EXPECT_LT(frameAt(90.0f).litCount(), front.litCount() / 50) << "edge-on at 90 degrees";

    // Nothing culls the back face: at 180 it is the front image mirrored left to right. A few
    // edge pixels may fall the other way where an edge passes exactly through a centre.
    const Image back = frameAt(180.0f);
    EXPECT_GT(back.litCount(), front.litCount() * 9 / 10) << "back face not drawn";
    Image mirror = front;
    for (auto row = mirror.pixels.begin(); row != mirror.pixels.end(); row += mirror.width)
        std::reverse(row, row + mirror.width);
    EXPECT_LE(differingPixels(back, mirror), 4) << "180 degrees is not the mirror image of 0";

    const Image turned = frameAt(30.0f);
    expectTriangle(turned, white);
    const Box box = turned.litBox();
    EXPECT_NEAR(double(box.width()) / frontBox.width(), std::cos(30.0 * pi / 180.0), 0.03)
        << "narrowing at 30 degrees";
    EXPECT_EQ(box.top, frontBox.top) << "top corner lies on the axis and must stay put";
    // Across the middle of the top four lit rows (the top clamped: an empty picture has none).
    auto tipCentre = [](const Image& img) {
        const Box tip = img.litBox(std::max(img.litBox().top, 3) - 3);
        return (tip.left + tip.right) / 2.0;
    };
    EXPECT_NEAR(tipCentre(turned), tipCentre(front), 1.0) << "top corner moved sideways";
}

TEST_F(Render, MenuChoicesSetTheDrawnColour)
{
    // Out of order on purpose, each different from the one before it; last, blue twice and then
    // values that are not menu entries, which must change nothing.
    const std::pair<std::vector<int>, Pixel> table[] = {
        {{1}, red},   {{3}, blue}, {{2}, green}, {{4}, white},
        {{2}, green}, {{1}, red},  {{3, 3, 0, 5, -1, 1000, INT_MIN}, blue}};
    for (const auto& [values, colour] : table) {
        SCOPED_TRACE("menu values " + ::testing::PrintToString(values));
        for (int value : values)
            menuChoice(value);
        expectTriangle(drawFrames(320, 320), colour);
    }
}

TEST_F(Render, ScaleFollowsTheHeightAndTheWidthOnlyWidensTheView)
{
    const Image square = frameAt(0.0f, 320, 320), wide = frameAt(0.0f, 640, 320);
    expectTriangle(wide, white);

    const Box sq = square.litBox(), wd = wide.litBox();
    // The same box, moved right by half the extra width, and in it the same picture.
    EXPECT_EQ((std::array{wd.left - 160, wd.bottom, wd.right - 160, wd.top}),
              (std::array{sq.left, sq.bottom, sq.right, sq.top})) << "stretched or not centred";
    Image centred{640, 320, 0.0f, std::vector<Pixel>(640 * 320, black)};
    for (int y = 0; y < 320; ++y)
        std::copy_n(&square.pixels[y * 320], 320, &centred.pixels[y * 640 + 160]);
    EXPECT_LE(differingPixels(wide, centred), 2) << "different shape";

    // Ratios that are not whole numbers, both ways round.
    expectTriangle(frameAt(0.0f, 480, 320), white);
    expectTriangle(frameAt(0.0f, 320, 480), white);
    expectTriangle(frameAt(30.0f, 200, 150), white);
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
        expectTriangle(frameAt(10.0f, 320, 320), white);
    }
}

TEST_F(Render, AngleWrapsAndKeepsTurning)
{
    // Large enough that a one-degree step near 0 moves some edge pixels.
    const Image zero = frameAt(0.0f, largest, largest);
    spinAngle = 358.0f;
    std::vector<Image> frames;
    for (float after : {359.0f, 0.0f, 1.0f, 2.0f}) {
        frames.push_back(drawFrames(largest, largest));
        EXPECT_EQ(spinAngle, after) << "after the frame drawn at " << frames.back().angle;
    }
    expectTriangle(frames[1], white);  // drawn at 359
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
            EXPECT_TRUE(spinAngle >= 0.0f && spinAngle < 360.0f && spinAngle != before)
                << before << " to " << spinAngle;
            if (i > 0) {
                EXPECT_GT(differingPixels(next, previous), 0) << "frames stopped turning";
            }
            previous = next;
        }
    }
}

}  // namespace
