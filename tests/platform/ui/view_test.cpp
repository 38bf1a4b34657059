#include "platform/runloop/RunLoop.h"
#include "platform/ui/View.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace platform;

namespace {

constexpr double kPi = 3.14159265358979323846;

void expectNear(Point a, Point b) {
    EXPECT_NEAR(a.x, b.x, 1e-9);
    EXPECT_NEAR(a.y, b.y, 1e-9);
}

void expectNear(Rect a, Rect b) {
    EXPECT_NEAR(a.minX(), b.minX(), 1e-9);
    EXPECT_NEAR(a.minY(), b.minY(), 1e-9);
    EXPECT_NEAR(a.width(), b.width(), 1e-9);
    EXPECT_NEAR(a.height(), b.height(), 1e-9);
}

TEST(GeometryTest, RectangleArithmetic) {
    Rect r(10, 20, 100, 50);
    EXPECT_EQ(r.center(), (Point{60, 45}));
    EXPECT_EQ(r.offsetBy(5, -5), Rect(15, 15, 100, 50));
    EXPECT_EQ(r.insetBy(10, 5), Rect(20, 25, 80, 40));
    EXPECT_EQ(r.insetBy(60, 0).size.width, 0);  // never negative
    EXPECT_EQ(r.insetBy(EdgeInsets{1, 2, 3, 4}), Rect(12, 21, 94, 46));
    EXPECT_EQ(r.intersection(Rect(50, 0, 100, 30)), Rect(50, 20, 60, 10));
    EXPECT_TRUE(r.intersection(Rect(500, 0, 1, 1)).isEmpty());
    EXPECT_EQ(r.unionWith(Rect(0, 0, 5, 5)), Rect(0, 0, 110, 70));
    EXPECT_EQ(r.unionWith(Rect()), r);
    EXPECT_EQ(Rect(0.5, 1.2, 2.1, 3.7).integral(), Rect(0, 1, 3, 4));
    EXPECT_EQ(Rect(10, 10, -4, -6).standardized(), Rect(6, 4, 4, 6));
    EXPECT_TRUE(Rect(0, 0, std::nan(""), 1).isEmpty());
    EXPECT_FALSE(Rect(0, std::numeric_limits<double>::infinity(), 1, 1).isFinite());
}

TEST(GeometryTest, AffineTransforms) {
    AffineTransform rotate = AffineTransform::rotation(kPi / 2);
    expectNear(rotate.apply(Point{1, 0}), Point{0, 1});
    AffineTransform t = AffineTransform::scale(2, 3).concatenating(AffineTransform::translation(10, 0));
    expectNear(t.apply(Point{1, 1}), Point{12, 3});
    expectNear(t.inverted().apply(Point{12, 3}), Point{1, 1});
    // translated() applies its step first, as the platform's function does.
    expectNear(AffineTransform::scale(2, 2).translated(5, 0).apply(Point{0, 0}), Point{10, 0});
    expectNear(rotate.apply(Rect(0, 0, 10, 20)), Rect(-20, 0, 20, 10));
    EXPECT_TRUE(rotate.concatenating(rotate.inverted()).apply(Point{3, 4}).x - 3 < 1e-9);
    EXPECT_FALSE(AffineTransform::scale(0, 1).isInvertible());
    EXPECT_EQ(AffineTransform::scale(0, 1).inverted(), AffineTransform::scale(0, 1));
}

TEST(ViewGeometryTest, TransformTurnsTheFrameAboutTheCentre) {
    auto v = std::make_shared<View>(Rect(10, 10, 100, 40));
    v->setTransform(AffineTransform::rotation(kPi / 2));
    expectNear(v->frame(), Rect(40, -20, 40, 100));
    EXPECT_EQ(v->bounds(), Rect(0, 0, 100, 40));
    EXPECT_EQ(v->center(), (Point{60, 30}));
    // With a transform, setting the frame moves the centre only.
    v->setFrame(Rect(0, 0, 40, 100));
    EXPECT_EQ(v->center(), (Point{20, 50}));
    EXPECT_EQ(v->bounds().size, (Size{100, 40}));
    v->setTransform(AffineTransform::identity());
    EXPECT_EQ(v->frame(), Rect(-30, 30, 100, 40));
    // Setting the bounds keeps the centre.
    v->setBounds(Rect(0, 0, 20, 20));
    EXPECT_EQ(v->frame(), Rect(10, 40, 20, 20));
}

TEST(ViewGeometryTest, BadNumbersAreIgnoredOrClamped) {
    const double inf = std::numeric_limits<double>::infinity();
    auto v = std::make_shared<View>(Rect(1, 2, 3, 4));
    v->setFrame(Rect(std::nan(""), 0, 10, 10));
    v->setFrame(Rect(0, 0, inf, 10));
    v->setBounds(Rect(0, 0, 10, std::nan("")));
    v->setCenter(Point{inf, 0});
    v->setTransform(AffineTransform::scale(std::nan(""), 1));
    v->setAlpha(std::nan(""));
    EXPECT_EQ(v->frame(), Rect(1, 2, 3, 4));
    EXPECT_EQ(v->alpha(), 1);
    v->setFrame(Rect(0, 0, -10, -5));
    EXPECT_EQ(v->frame(), Rect(0, 0, 0, 0));
    EXPECT_EQ(std::make_shared<View>(Rect(std::nan(""), 0, 1, 1))->frame(), Rect());
    EXPECT_EQ(v->hitTest(Point{std::nan(""), 0}), nullptr);
}

TEST(ViewGeometryTest, ConvertRectAcrossRotatedAndScaledViews) {
    auto root = std::make_shared<View>(Rect(0, 0, 400, 400));
    auto rotated = std::make_shared<View>(Rect(100, 100, 200, 100));
    auto scaled = std::make_shared<View>(Rect(0, 0, 50, 50));
    root->addSubview(rotated);
    rotated->addSubview(scaled);
    rotated->setTransform(AffineTransform::rotation(kPi / 2));  // centre (200, 150)
    scaled->setTransform(AffineTransform::scale(2, 2));         // centre (25, 25) in rotated's bounds

    // scaled's (0,0) is (-25,-25) in rotated's bounds; turned a quarter about (100,50) that is (175,-75)
    // from rotated's bounds centre... in root: centre (200,150) + R(-125,-75) = (200+75, 150-125).
    expectNear(scaled->convertPointTo(Point{0, 0}, nullptr), Point{275, 25});
    expectNear(scaled->convertPointTo(Point{0, 0}, root.get()), Point{275, 25});
    expectNear(root->convertPointTo(Point{275, 25}, scaled.get()), Point{0, 0});
    expectNear(scaled->convertPointFrom(Point{275, 25}, root.get()), Point{0, 0});
    // A 10 x 10 square at scaled's origin is 20 x 20 turned: the box from (255, 25) to (275, 45).
    expectNear(scaled->convertRectTo(Rect(0, 0, 10, 10), root.get()), Rect(255, 25, 20, 20));
    expectNear(root->convertRectTo(Rect(255, 25, 20, 20), scaled.get()), Rect(0, 0, 10, 10));
    expectNear(scaled->convertRectFrom(Rect(255, 25, 20, 20), nullptr), Rect(0, 0, 10, 10));
    // Between siblings' subtrees: through the root.
    auto other = std::make_shared<View>(Rect(250, 0, 100, 100));
    root->addSubview(other);
    expectNear(scaled->convertPointTo(Point{0, 0}, other.get()), Point{25, 25});
    // A scrolled bounds origin moves the content.
    root->setBounds(Rect(0, 10, 400, 400));
    expectNear(other->convertPointTo(Point{0, 0}, root.get()), Point{250, 0});
    expectNear(other->convertPointTo(Point{0, 0}, nullptr), Point{250, 0});
}

TEST(ViewTreeTest, OrderTagsAndHitTesting) {
    auto root = std::make_shared<View>(Rect(0, 0, 100, 100));
    auto a = std::make_shared<View>(Rect(0, 0, 50, 50));
    auto b = std::make_shared<View>(Rect(25, 25, 50, 50));
    auto c = std::make_shared<View>(Rect(0, 0, 10, 10));
    root->addSubview(a);
    root->addSubview(b);
    root->insertSubviewBelow(c, a);
    EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<View>>{c, a, b}));
    root->insertSubviewAbove(c, b);
    EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<View>>{a, b, c}));
    root->bringSubviewToFront(a);
    EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<View>>{b, c, a}));
    root->sendSubviewToBack(a);
    EXPECT_EQ(root->subviews().front(), a);

    b->setTag(7);
    auto deep = std::make_shared<View>(Rect(0, 0, 5, 5));
    deep->setTag(9);
    b->addSubview(deep);
    EXPECT_EQ(root->viewWithTag(9), deep);
    EXPECT_EQ(root->viewWithTag(7), b);
    EXPECT_EQ(root->viewWithTag(42), nullptr);
    EXPECT_EQ(root->viewWithTag(0), root);

    // Front first; hidden, transparent and non-interactive views are passed over.
    EXPECT_EQ(root->hitTest(Point{30, 30}), b);
    EXPECT_EQ(root->hitTest(Point{26, 26}), deep);
    b->setHidden(true);
    EXPECT_EQ(root->hitTest(Point{30, 30}), a);
    a->setAlpha(0.005);
    EXPECT_EQ(root->hitTest(Point{30, 30}), root);
    root->setUserInteractionEnabled(false);
    EXPECT_EQ(root->hitTest(Point{30, 30}), nullptr);

    EXPECT_EQ(deep->tintColor(), Color::fromRGBA255(0, 122, 255));
    root->setTintColor(Color::white());
    EXPECT_EQ(deep->tintColor(), Color::white());
}

class FitView : public View {
public:
    using View::View;
    Size sizeThatFits(Size) const override { return {33, 44}; }
    void layoutSubviews() override { ++layouts; }
    int layouts = 0;
};

TEST(ViewLayoutTest, LayoutRunsOncePerTurnWhenMarked) {
    auto v = std::make_shared<FitView>(Rect(5, 6, 1, 1));
    v->sizeToFit();
    EXPECT_EQ(v->frame(), Rect(5, 6, 33, 44));
    v->layouts = 0;
    v->setNeedsLayout();
    v->setNeedsLayout();
    EXPECT_EQ(v->layouts, 0);
    EXPECT_TRUE(hybtest::runMainUntil([&] { return v->layouts > 0; }));
    while (RunLoop::main().runOnce(std::chrono::milliseconds(0)) == RunLoop::RunResult::Handled) {
    }
    EXPECT_EQ(v->layouts, 1);
    EXPECT_FALSE(v->needsLayout());
    v->setNeedsLayout();
    v->layoutIfNeeded();
    EXPECT_EQ(v->layouts, 2);
    v->layoutIfNeeded();
    EXPECT_EQ(v->layouts, 2);
}

class Recorder : public KeyValueObserver {
public:
    void observeValueForKeyPath(const std::string& keyPath, View& object) override {
        seen.push_back(keyPath);
        lastFrame = object.frame();
    }
    std::vector<std::string> seen;
    Rect lastFrame;
};

TEST(ViewObserverTest, FrameAndBoundsObserversAreToldAfterEachChange) {
    auto v = std::make_shared<View>(Rect(0, 0, 10, 10));
    auto frameObserver = std::make_shared<Recorder>();
    auto boundsObserver = std::make_shared<Recorder>();
    v->addObserver(frameObserver, "frame");
    v->addObserver(boundsObserver, "bounds");

    v->setFrame(Rect(5, 5, 10, 10));  // moves only
    EXPECT_EQ(frameObserver->seen, std::vector<std::string>{"frame"});
    EXPECT_EQ(frameObserver->lastFrame, Rect(5, 5, 10, 10));  // told after the change
    EXPECT_TRUE(boundsObserver->seen.empty());
    v->setFrame(Rect(5, 5, 20, 10));
    EXPECT_EQ(frameObserver->seen.size(), 2u);
    EXPECT_EQ(boundsObserver->seen, std::vector<std::string>{"bounds"});
    v->setFrame(Rect(5, 5, 20, 10));  // no change, no news
    EXPECT_EQ(frameObserver->seen.size(), 2u);
    v->setTransform(AffineTransform::scale(2, 2));
    EXPECT_EQ(frameObserver->seen.size(), 3u);
    EXPECT_EQ(boundsObserver->seen.size(), 1u);

    // Autoresizing from the superview reaches the subview's observers.
    auto parent = std::make_shared<View>(Rect(0, 0, 100, 100));
    auto child = std::make_shared<View>(Rect(0, 0, 100, 20));
    child->setAutoresizingMask(kAutoresizingFlexibleWidth);
    parent->addSubview(child);
    auto childObserver = std::make_shared<Recorder>();
    child->addObserver(childObserver, "bounds");
    parent->setFrame(Rect(0, 0, 200, 100));
    EXPECT_EQ(childObserver->seen.size(), 1u);
    EXPECT_EQ(child->bounds().size, (Size{200, 20}));

    // Removed observers and observers that are gone hear nothing.
    v->removeObserver(frameObserver.get(), "frame");
    boundsObserver.reset();
    v->setFrame(Rect(0, 0, 1, 1));
    EXPECT_EQ(frameObserver->seen.size(), 3u);
}

} // namespace

TEST(ViewTest, SubviewsAddedInAConstructorFindTheirSuperview) {
    struct Composite : View {
        Composite() : View(Rect(10, 20, 100, 50)) {
            inner = std::make_shared<View>(Rect(5, 5, 10, 10));
            addSubview(inner);
        }
        std::shared_ptr<View> inner;
    };
    struct Outer : View {
        Outer() : View(Rect(1, 1, 200, 200)) {
            part = std::make_shared<Composite>();
            addSubview(part);
        }
        std::shared_ptr<Composite> part;
    };
    auto root = std::make_shared<View>(Rect(0, 0, 300, 300));
    auto outer = std::make_shared<Outer>();
    EXPECT_EQ(outer->part->superview(), nullptr);  // outer was not yet owned when it added its part
    root->addSubview(outer);
    EXPECT_EQ(outer->part->superview(), outer);
    EXPECT_EQ(outer->part->inner->superview(), outer->part);
    EXPECT_EQ(outer->part->inner->convertPointTo(Point{0, 0}, root.get()), (Point{16, 26}));

    auto alone = std::make_shared<Composite>();
    alone->linkSubviews();
    EXPECT_EQ(alone->inner->superview(), alone);
}
