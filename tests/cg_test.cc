// The portable platform's Quartz subset: what its events hold, its log lines, its strictness with
// handles.
#include <string>

#include "fixture.h"

namespace {

class portable : public ::testing::Test {
 protected:
  void SetUp() override {
    cg_reset();
    cg_record_posts(true);
  }
  void TearDown() override { cg_reset(); }
};

std::string format(const cg_record &r) {
  char buf[256];
  size_t n = cg_format(r, buf, sizeof buf);
  return std::string(buf, n);
}

TEST_F(portable, events_as_posted_and_logged) {
  CGEventSourceRef s = CGEventSourceCreate(kCGEventSourceStatePrivate);
  CGEventRef m = CGEventCreateMouseEvent(s, kCGEventRightMouseDown, CGPoint{-2147483648.0, 2147483647.0},
                                         kCGMouseButtonRight);
  CGEventSetIntegerValueField(m, kCGMouseEventClickState, 3);
  CGEventPost(kCGHIDEventTap, m);
  CGEventRef k = CGEventCreateKeyboardEvent(s, 56, true);
  CGEventSetType(k, kCGEventFlagsChanged);
  CGEventSetFlags(k, kCGEventFlagMaskShift);
  CGEventPost(kCGSessionEventTap, k);
  CGEventRef w = CGEventCreateScrollWheelEvent(s, kCGScrollEventUnitPixel, 2, -120, 40);
  CGEventPost(kCGHIDEventTap, w);
  CGEventRef half = CGEventCreateMouseEvent(s, kCGEventMouseMoved, CGPoint{0.5, -0.0}, kCGMouseButtonLeft);
  CGEventPost(kCGHIDEventTap, half);
  EXPECT_EQ(cg_live(), 5);
  for (CGEventRef e : {m, k, w, half}) CFRelease(e);
  CFRelease(s);
  EXPECT_EQ(cg_live(), 0);

  ASSERT_EQ(cg_post_count(), 4u);
  const cg_record *p = cg_posts();
  // Platform-made events come with the non-coalesced flag until something replaces it.
  EXPECT_EQ(format(p[0]),
            R"({"tap":0,"type":3,"flags":256,"x":-2147483648,"y":2147483647,"button":1,"click":3})");
  EXPECT_EQ(format(p[1]), R"({"tap":1,"type":12,"flags":131072,"keycode":56})");
  EXPECT_TRUE(p[1].down);
  EXPECT_EQ(format(p[2]), R"({"tap":0,"type":22,"flags":256,"unit":0,"wheels":2,"wheel1":-120,"wheel2":40})");
  EXPECT_EQ(format(p[3]), R"({"tap":0,"type":5,"flags":256,"x":0.5,"y":0,"button":0,"click":0})");
}

TEST_F(portable, scroll_wheel_counts) {
  CGEventRef one = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 1, 7);
  CGEventRef three = CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 3, 1, -2, 3);
  EXPECT_EQ(CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 0, 1), nullptr);
  EXPECT_EQ(CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 4, 1, 2, 3, 4), nullptr);
  CGEventPost(kCGHIDEventTap, one);
  CGEventPost(kCGHIDEventTap, three);
  CFRelease(one);
  CFRelease(three);
  EXPECT_EQ(format(cg_posts()[0]),
            R"({"tap":0,"type":22,"flags":256,"unit":1,"wheels":1,"wheel1":7,"wheel2":0})");
  EXPECT_EQ(format(cg_posts()[1]),
            R"({"tap":0,"type":22,"flags":256,"unit":0,"wheels":3,"wheel1":1,"wheel2":-2,"wheel3":3})");
}

TEST_F(portable, failures_per_kind) {
  const cg_failure kinds[] = {cg_fail_mouse, cg_fail_keyboard, cg_fail_scroll};
  for (cg_failure f : kinds) {
    cg_reset();
    cg_fail(f, true);
    CGEventRef e[] = {
        CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPoint{}, kCGMouseButtonLeft),
        CGEventCreateKeyboardEvent(nullptr, 0, true),
        CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, 0, 0),
    };
    for (size_t i = 0; i < std::size(e); i++) {
      EXPECT_EQ(e[i] == nullptr, i == static_cast<size_t>(f) - 1) << i;
      if (e[i] != nullptr) CFRelease(e[i]);
    }
    EXPECT_NE(CGEventSourceCreate(kCGEventSourceStatePrivate), nullptr);
  }
  cg_reset();
  cg_fail(cg_fail_source, true);
  EXPECT_EQ(CGEventSourceCreate(kCGEventSourceStatePrivate), nullptr);
}

TEST_F(portable, clock) {
  EXPECT_EQ(clock_gettime_nsec_np(CLOCK_MONOTONIC), 0u) << "only the uptime clock is served";
  uint64_t a = clock_gettime_nsec_np(CLOCK_UPTIME_RAW);
  uint64_t b = clock_gettime_nsec_np(CLOCK_UPTIME_RAW);
  EXPECT_GT(a, 0u);
  EXPECT_LE(a, b);
  cg_set_clock(450000000);
  EXPECT_EQ(clock_gettime_nsec_np(CLOCK_UPTIME_RAW), 450000000u);
}

using portable_death = portable;

// Using a handle after its release is a fault that must not pass silently.
TEST_F(portable_death, misuse_aborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CGEventRef e = CGEventCreateKeyboardEvent(nullptr, 0, true);
  CFRelease(e);
  EXPECT_DEATH(CFRelease(e), "");
  EXPECT_DEATH(CGEventPost(kCGHIDEventTap, e), "");
  EXPECT_DEATH(CGEventSetFlags(nullptr, 0), "");
  int other = 0;
  EXPECT_DEATH(CFRelease(&other), "");
  CGEventSourceRef s = CGEventSourceCreate(kCGEventSourceStatePrivate);
  CFRelease(s);
  EXPECT_DEATH(CGEventCreateKeyboardEvent(s, 0, true), "");
}

}  // namespace
