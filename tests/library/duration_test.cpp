// The library's one set of duration and time helpers, and the places that
// depend on them agreeing: the QoS checks and the conversion to Cyclone.
#include <gtest/gtest.h>

#include <string>

#include "duration.h"
#include "qos_rules.h"
#include "wire/policy_wire.h"

namespace {

using namespace QUORVELA;
using namespace QUORVELA::detail;

constexpr int64_t kLargestFinite = int64_t{0x7fffffff} * 1000000000 + 999999999;

std::string str(const Duration_t& d) { return "{" + std::to_string(d.sec) + ", " + std::to_string(d.nanosec) + "}"; }

struct Row {
  Duration_t d;
  bool valid;
  int64_t ns;  // when valid
};

// Seconds of 0x7fffffff are finite unless the nanoseconds are 0xffffffff.
const Row kRows[] = {
    {{0, 0}, true, 0},
    {{0, 999999999}, true, 999999999},
    {{1, 0}, true, 1000000000},
    {{0x7fffffff, 5}, true, 2147483647000000005},
    {{0x7fffffff, 999999999}, true, kLargestFinite},
    {{0x7fffffff, 0xffffffff}, true, kInfiniteNs},
    {{0, 1000000000}, false, 0},
    {{0, 0xffffffff}, false, 0},
    {{-1, 0}, false, 0},
    {{-1, 0xffffffff}, false, 0},
    {{0x7fffffff, 1000000000}, false, 0},
    {{0x7fffffff, 0x7fffffff}, false, 0},
};

TEST(Duration, EdgeValuesCheckConvertAndOrder) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(str(r.d));
    EXPECT_EQ(is_valid(r.d), r.valid);
    EXPECT_EQ(is_valid(Time{r.d.sec, r.d.nanosec}), r.valid);
    if (!r.valid) continue;
    EXPECT_EQ(is_infinite(r.d), r.ns == kInfiniteNs);
    EXPECT_EQ(to_ns(r.d), r.ns);
    EXPECT_EQ(to_ns(Time{r.d.sec, r.d.nanosec}), r.ns);
    EXPECT_EQ(to_duration(r.ns), r.d) << "round trip";
    EXPECT_EQ(to_time(r.ns), (Time{r.d.sec, r.d.nanosec})) << "round trip";
    // Every finite value is below the infinite one, which is below nothing.
    EXPECT_EQ(less(r.d, DURATION_INFINITE), !is_infinite(r.d));
    EXPECT_FALSE(less(DURATION_INFINITE, r.d));
    // Cyclone gets the same count (DDS_INFINITY for the infinite value).
    DataWriterQos w;
    w.deadline.period = r.d;
    dds_duration_t period = 0;
    ASSERT_TRUE(dds_qget_deadline(wire::writer_qos(w, TopicQos{}).get(), &period));
    EXPECT_EQ(period, r.ns);
    // The QoS checks take what the helpers call valid.
    EXPECT_EQ(check_qos(w), RETCODE_OK);
  }
}

TEST(Duration, InvalidValuesAreRefusedByEveryQosCheck) {
  for (const Row& r : kRows) {
    if (r.valid) continue;
    SCOPED_TRACE(str(r.d));
    TopicQos t;
    t.lifespan.duration = r.d;
    EXPECT_EQ(check_qos(t), RETCODE_BAD_PARAMETER);
    DataReaderQos q;
    q.time_based_filter.minimum_separation = r.d;
    EXPECT_EQ(check_qos(q), RETCODE_BAD_PARAMETER);
  }
}

TEST(Duration, ArithmeticHoldsAtTheEnds) {
  // A reader's deadline of {0x7fffffff, 5} is finite: shorter than an
  // infinite filter separation, so the two contradict each other.
  DataReaderQos q;
  q.deadline.period = {0x7fffffff, 5};
  q.time_based_filter.minimum_separation = DURATION_INFINITE;
  EXPECT_EQ(check_qos(q), RETCODE_INCONSISTENT_POLICY);

  EXPECT_EQ(to_duration(kLargestFinite + 1), DURATION_INFINITE);
  EXPECT_EQ(to_duration(-1), DURATION_ZERO);
  EXPECT_EQ(add_ns(kInfiniteNs, 1), kInfiniteNs);
  EXPECT_EQ(add_ns(kLargestFinite, kLargestFinite), 2 * kLargestFinite);
  EXPECT_EQ(add_ns(0, -5), -5);
  EXPECT_EQ(add_ns(INT64_MIN + 1, -5), INT64_MIN);
  EXPECT_EQ(remaining(Duration_t{2, 0}, 500000000), (Duration_t{1, 500000000}));
  EXPECT_EQ(remaining(Duration_t{2, 0}, 3000000000), DURATION_ZERO);
  EXPECT_EQ(remaining(DURATION_INFINITE, kLargestFinite), DURATION_INFINITE);
}

}  // namespace
