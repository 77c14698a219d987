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
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

struct Pixel {
    std::uint8_t r, g, b;
    bool operator==(const Pixel& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Pixel& o) const { return !(*this == o); }
    bool lit() const { return r != 0 || g != 0 || b != 0; }
};

std::ostream& operator<<(std::ostream& os, const Pixel& p)
{
    return os << '(' << int(p.r) << ',' << int(p.g) << ',' << int(p.b) << ')';
}

constexpr Pixel black{0, 0, 0};
constexpr Pixel white{255, 255, 255};

struct Box {
    int left = std::numeric_limits<int>::max(), bottom = std::numeric_limits<int>::max();
    int right = std::numeric_limits<int>::min(), top = std::numeric_limits<int>::min();
    bool empty() const { return left > right; }
    int width() const { return empty() ? 0 : right - left + 1; }
    int height() const { return empty() ? 0 : top - bottom + 1; }
};

// Rows bottom-up, as the window counts them.
struct Image {
    int width = 0, height = 0;
    std::vector<Pixel> pixels;

    Pixel at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }

    int litCount() const
    {
        return static_cast<int>(std::count_if(pixels.begin(), pixels.end(),
                                              [](const Pixel& p) { return p.lit(); }));
    }

    Box litBox() const
    {
        Box box;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (at(x, y).lit()) {
                    box.left = std::min(box.left, x);
                    box.right = std::max(box.right, x);
                    box.bottom = std::min(box.bottom, y);
                    box.top = std::max(box.top, y);
                }
        return box;
    }

    Image mirrored() const
    {
        Image m = *this;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                m.pixels[static_cast<std::size_t>(y * width + x)] = at(width - 1 - x, y);
        return m;
    }

    Image crop(const Box& b) const
    {
        Image c;
        c.width = b.width();
        c.height = b.height();
        for (int y = b.bottom; y <= b.top && !b.empty(); ++y)
            for (int x = b.left; x <= b.right; ++x)
                c.pixels.push_back(at(x, y));
        return c;
    }
};

int differingPixels(const Image& a, const Image& b)
{
    if (a.width != b.width || a.height != b.height)
        return std::numeric_limits<int>::max();
    int n = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        n += a.pixels[i] != b.pixels[i];
    return n;
}

// Colour + depth renderbuffers of any size, so odd and tiny sizes need no window resize and
// nothing else on the display can spoil the read-back.
class Offscreen {
public:
    Offscreen(int width, int height)
    {
        glGenFramebuffers(1, &fbo_);
        glGenRenderbuffers(2, buffers_);
        glBindRenderbuffer(GL_RENDERBUFFER, buffers_[0]);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        glBindRenderbuffer(GL_RENDERBUFFER, buffers_[1]);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
        glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                                  buffers_[0]);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER,
                                  buffers_[1]);
        complete_ = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    }
    ~Offscreen()
    {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteRenderbuffers(2, buffers_);
        glDeleteFramebuffers(1, &fbo_);
    }
    Offscreen(const Offscreen&) = delete;
    Offscreen& operator=(const Offscreen&) = delete;
    bool complete() const { return complete_; }

private:
    GLuint fbo_ = 0;
    GLuint buffers_[2] = {0, 0};
    bool complete_ = false;
};

Image readBack(int width, int height)
{
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width * height * 4));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    Image img;
    img.width = width;
    img.height = height;
    for (std::size_t i = 0; i < rgba.size(); i += 4)
        img.pixels.push_back({rgba[i], rgba[i + 1], rgba[i + 2]});
    return img;
}

// Sizes the view with the program's reshape handler, then draws `count` frames with its frame
// handler and returns the last one. A zero size still gets a 1-pixel surface to draw into.
Image drawFrames(int width, int height, int count = 1)
{
    const int surfaceW = std::max(width, 1), surfaceH = std::max(height, 1);
    Offscreen target(surfaceW, surfaceH);
    EXPECT_TRUE(target.complete()) << "offscreen framebuffer " << surfaceW << 'x' << surfaceH;
    reshapeView(width, height);
    for (int i = 0; i < count; ++i)
        drawFrame();
    Image img = readBack(surfaceW, surfaceH);
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

// Where a model point lands in window pixels: turned about +y, seen from 5 units back along +z.
Point project(double mx, double my, double angleDeg, int width, int height)
{
    const double a = angleDeg * pi / 180.0;
    const double xe = mx * std::cos(a), ye = my, ze = -mx * std::sin(a) - 5.0;
    const double focal = 1.0 / std::tan(22.5 * pi / 180.0);
    const double aspect = static_cast<double>(width) / height;
    const double ndcX = focal / aspect * xe / -ze, ndcY = focal * ye / -ze;
    return {(ndcX + 1.0) * width / 2.0, (ndcY + 1.0) * height / 2.0};
}

struct Triangle {
    Point corner[3];
};

Triangle projectedTriangle(double angleDeg, int width, int height)
{
    return {{project(-0.5, -0.5, angleDeg, width, height),
             project(0.5, 0.0, angleDeg, width, height),
             project(0.0, 0.5, angleDeg, width, height)}};
}

double segmentDistance(Point p, Point a, Point b)
{
    const double dx = b.x - a.x, dy = b.y - a.y, len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

double cross(Point o, Point a, Point b)
{
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Positive inside the triangle, negative outside: pixels distance from its outline.
double signedDistance(const Triangle& t, Point p)
{
    const Point* c = t.corner;
    double edge = std::numeric_limits<double>::max();
    for (int i = 0; i < 3; ++i)
        edge = std::min(edge, segmentDistance(p, c[i], c[(i + 1) % 3]));
    const double s0 = cross(c[0], c[1], p), s1 = cross(c[1], c[2], p), s2 = cross(c[2], c[0], p);
    const bool inside = std::fabs(cross(c[0], c[1], c[2])) > 1e-9 &&
                        ((s0 > 0 && s1 > 0 && s2 > 0) || (s0 < 0 && s1 < 0 && s2 < 0));
    return inside ? edge : -edge;
}

// Pixels more than this far from the projected outline must be exactly right; the edge
// pixels in between may go either way.
constexpr double edgeSlack = 1.5;

// What a user must see: the triangle at the projected place in `colour` on black, each corner
// within a couple of pixels of its projection.
void expectTriangle(const Image& img, double angleDeg, Pixel colour, int viewW, int viewH)
{
    const Triangle tri = projectedTriangle(angleDeg, viewW, viewH);
    int insideChecked = 0, wrongInside = 0, wrongOutside = 0;
    std::ostringstream firstInside, firstOutside;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const double d = signedDistance(tri, {x + 0.5, y + 0.5});
            const Pixel p = img.at(x, y);
            if (d > edgeSlack) {
                ++insideChecked;
                if (p != colour && wrongInside++ == 0)
                    firstInside << ", first (" << x << ',' << y << ")=" << p;
            } else if (d < -edgeSlack && p != black && wrongOutside++ == 0) {
                firstOutside << ", first (" << x << ',' << y << ")=" << p;
            }
        }
    const std::string where = " at " + std::to_string(viewW) + 'x' + std::to_string(viewH) +
                              ", angle " + std::to_string(angleDeg);
    EXPECT_GT(insideChecked, 0) << "triangle too small to check" << where;
    EXPECT_EQ(wrongInside, 0) << "pixels inside not " << colour << where << firstInside.str();
    EXPECT_EQ(wrongOutside, 0) << "pixels outside not black" << where << firstOutside.str();

    for (const Point& c : tri.corner) {
        double nearest = std::numeric_limits<double>::max();
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x)
                if (img.at(x, y).lit())
                    nearest = std::min(nearest, std::hypot(x + 0.5 - c.x, y + 0.5 - c.y));
        EXPECT_LE(nearest, 2.0) << "no drawn corner near (" << c.x << ',' << c.y << ')' << where;
    }
}

Pixel toPixel(float r, float g, float b)
{
    auto byte = [](float v) { return static_cast<std::uint8_t>(std::lround(v * 255.0f)); };
    return {byte(r), byte(g), byte(b)};
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
    const Image img = drawFrames(320, 320);
    expectTriangle(img, 0.0, white, 320, 320);
    EXPECT_EQ(spinAngle, 1.0f) << "one degree per drawn frame";
}

TEST_F(Render, TurnsAboutTheVerticalAxis)
{
    const Image front = frameAt(0.0f);
    const int frontLit = front.litCount();
    const Box frontBox = front.litBox();

    const Image edgeOn = frameAt(90.0f);
    EXPECT_LT(edgeOn.litCount(), frontLit / 50) << "edge-on at 90 degrees";

    // Nothing culls the back face: at 180 it is the front image mirrored left to right.
    const Image back = frameAt(180.0f);
    EXPECT_GT(back.litCount(), frontLit * 9 / 10) << "back face not drawn";
    // A few edge pixels may fall the other way where an edge passes exactly through a centre.
    EXPECT_LE(differingPixels(back, front.mirrored()), 4)
        << "180 degrees is not the mirror image of 0";

    const Image turned = frameAt(30.0f);
    expectTriangle(turned, 30.0, white, 320, 320);
    const Box box = turned.litBox();
    const double ratio = static_cast<double>(box.width()) / frontBox.width();
    EXPECT_NEAR(ratio, std::cos(30.0 * pi / 180.0), 0.03) << "narrowing at 30 degrees";
    EXPECT_EQ(box.top, frontBox.top) << "top corner lies on the axis and must stay put";
    auto tipCentre = [](const Image& img, int top) {
        double sum = 0;
        int n = 0;
        for (int y = top - 3; y <= top; ++y)
            for (int x = 0; x < img.width; ++x)
                if (img.at(x, y).lit()) {
                    sum += x;
                    ++n;
                }
        return n ? sum / n : -1.0;
    };
    EXPECT_NEAR(tipCentre(turned, box.top), tipCentre(front, frontBox.top), 1.0)
        << "top corner moved sideways";
}

TEST_F(Render, MenuChoicesSetTheDrawnColour)
{
    struct Entry {
        int value;
        Pixel colour;
    };
    // Out of order on purpose, and each different from the one before it.
    const Entry table[] = {{1, toPixel(1, 0, 0)}, {3, toPixel(0, 0, 1)}, {2, toPixel(0, 1, 0)},
                           {4, toPixel(1, 1, 1)}, {2, toPixel(0, 1, 0)}, {1, toPixel(1, 0, 0)}};
    for (const Entry& e : table) {
        SCOPED_TRACE("menu value " + std::to_string(e.value));
        menuChoice(e.value);
        const float angle = spinAngle;
        expectTriangle(drawFrames(320, 320), angle, e.colour, 320, 320);
    }

    menuChoice(3);
    menuChoice(3);
    for (int stranger : {0, 5, -1, 1000, std::numeric_limits<int>::min()})
        menuChoice(stranger);
    const float angle = spinAngle;
    const Image img = drawFrames(320, 320);
    SCOPED_TRACE("blue twice, then values that are not menu entries");
    expectTriangle(img, angle, toPixel(0, 0, 1), 320, 320);
}

TEST_F(Render, ScaleFollowsTheHeightAndTheWidthOnlyWidensTheView)
{
    const Image square = frameAt(0.0f, 320, 320);
    const Image wide = frameAt(0.0f, 640, 320);
    expectTriangle(wide, 0.0, white, 640, 320);

    const Box sq = square.litBox(), wd = wide.litBox();
    EXPECT_EQ(wd.width(), sq.width()) << "stretched sideways";
    EXPECT_EQ(wd.height(), sq.height());
    EXPECT_EQ(wd.left - sq.left, 160) << "not centred";
    EXPECT_EQ(wd.bottom, sq.bottom);
    EXPECT_LE(differingPixels(wide.crop(wd), square.crop(sq)), 2) << "different shape";
    // Same size in a window twice as wide: it covers half the share of the width.
    EXPECT_NEAR(static_cast<double>(wd.width()) / wide.width,
                0.5 * sq.width() / square.width, 0.01);

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
    constexpr int size = 1024;
    const Image zero = frameAt(0.0f, size, size);

    spinAngle = 358.0f;
    std::vector<Image> frames;
    std::vector<float> after;
    for (int i = 0; i < 4; ++i) {
        frames.push_back(drawFrames(size, size));
        after.push_back(spinAngle);
    }
    EXPECT_EQ(after, (std::vector<float>{359.0f, 0.0f, 1.0f, 2.0f}));
    expectTriangle(frames[1], 359.0, white, size, size);
    EXPECT_EQ(differingPixels(frames[2], zero), 0) << "the frame after 359 is not frame 0";
    for (std::size_t i = 1; i < frames.size(); ++i)
        EXPECT_GT(differingPixels(frames[i], frames[i - 1]), 0) << "frame " << i << " stood still";

    // A whole turn comes back to the start, exactly.
    spinAngle = 0.0f;
    drawFrames(64, 64, 360);
    EXPECT_EQ(spinAngle, 0.0f);
    EXPECT_EQ(differingPixels(drawFrames(size, size), zero), 0) << "360 frames is not a full turn";

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
    glutInitWindowSize(320, 320);
    glutCreateWindow("Whirlet render test");
    return RUN_ALL_TESTS();
}
