// The reader's sample cache: arrival order across the reader and within each
// instance through removals from anywhere, the counts the data path relies on
// instead of scans, the purge of a whole instance and the lifespan purge.
#include <gtest/gtest.h>

#include <vector>

#include "reader_cache.h"

using namespace QUORVELA;
using namespace QUORVELA::detail;

namespace {

wire::KeyHash key(uint8_t k) {
  wire::KeyHash h{};
  h[15] = k;
  return h;
}

CachedSample* sample(uint64_t seq, bool valid = true, int64_t expiry = INT64_MAX) {
  auto* s = new CachedSample;
  s->seq = seq;
  s->valid = valid;
  s->expiry = expiry;
  return s;
}

std::vector<uint64_t> reader_order(const ReaderCache& c) {
  std::vector<uint64_t> out;
  for (CachedSample* s = c.oldest(); s != nullptr; s = s->next()) out.push_back(s->seq);
  return out;
}

std::vector<uint64_t> instance_order(const CachedInstance& inst) {
  std::vector<uint64_t> out;
  for (CachedSample* s = inst.oldest(); s != nullptr; s = s->next_in_instance()) out.push_back(s->seq);
  return out;
}

// Two instances, samples interleaved: a1 b2 a3 b4(marker) a5 b6.
struct Filled {
  ReaderCache cache;
  CachedInstance* a = &cache.add_instance(key(1), InstanceHandle_t{});
  CachedInstance* b = &cache.add_instance(key(2), InstanceHandle_t{});
  std::vector<CachedSample*> s{nullptr};  // s[seq]
  Filled() {
    for (uint64_t seq = 1; seq <= 6; ++seq) {
      s.push_back(sample(seq, seq != 4));
      cache.append(seq % 2 ? *a : *b, s.back());
    }
  }
};

}  // namespace

TEST(ReaderCacheTest, RemovalsAnywhereKeepBothOrdersAndTheCounts) {
  struct Case {
    const char* what;
    std::vector<uint64_t> removed;
    std::vector<uint64_t> reader, in_a, in_b;
    int32_t valid, valid_a, valid_b;
  };
  const Case cases[] = {
      {"nothing", {}, {1, 2, 3, 4, 5, 6}, {1, 3, 5}, {2, 4, 6}, 5, 3, 2},
      {"the oldest of all", {1}, {2, 3, 4, 5, 6}, {3, 5}, {2, 4, 6}, 4, 2, 2},
      {"the newest of all", {6}, {1, 2, 3, 4, 5}, {1, 3, 5}, {2, 4}, 4, 3, 1},
      {"a marker in the middle", {4}, {1, 2, 3, 5, 6}, {1, 3, 5}, {2, 6}, 5, 3, 2},
      {"one whole instance", {1, 3, 5}, {2, 4, 6}, {}, {2, 4, 6}, 2, 0, 2},
      {"everything, newest first", {6, 5, 4, 3, 2, 1}, {}, {}, {}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Filled f;
    for (uint64_t seq : c.removed) f.cache.remove(f.s[seq]);
    EXPECT_EQ(reader_order(f.cache), c.reader);
    EXPECT_EQ(instance_order(*f.a), c.in_a);
    EXPECT_EQ(instance_order(*f.b), c.in_b);
    EXPECT_EQ(f.cache.valid_count(), c.valid);
    EXPECT_EQ(f.a->valid_count(), c.valid_a);
    EXPECT_EQ(f.b->valid_count(), c.valid_b);
    EXPECT_EQ(f.cache.unread_count(), static_cast<int32_t>(c.reader.size()));
    // Appending after the removals goes to the end of both orders.
    f.cache.append(*f.a, sample(7));
    EXPECT_EQ(reader_order(f.cache).back(), 7u);
    EXPECT_EQ(instance_order(*f.a).back(), 7u);
  }
}

TEST(ReaderCacheTest, UnreadCountFollowsReadsAndRemovals) {
  Filled f;
  f.cache.mark_read(*f.s[2]);
  f.cache.mark_read(*f.s[2]);  // twice counts once
  f.cache.mark_read(*f.s[5]);
  EXPECT_EQ(f.cache.unread_count(), 4);
  f.cache.remove(f.s[2]);  // a read one
  f.cache.remove(f.s[3]);  // an unread one
  EXPECT_EQ(f.cache.unread_count(), 3);
}

TEST(ReaderCacheTest, InstancesGoOnlyWhenEmpty) {
  Filled f;
  f.cache.erase_instance(*f.a);
  EXPECT_EQ(f.cache.instance_count(), 2u) << "an instance that holds samples stays";
  for (uint64_t seq : {1, 3, 5}) f.cache.remove(f.s[seq]);
  EXPECT_TRUE(f.a->empty());
  f.cache.erase_instance(*f.a);
  EXPECT_EQ(f.cache.instance_count(), 1u);
  EXPECT_EQ(f.cache.find(key(1)), nullptr);
  EXPECT_EQ(f.cache.find(key(2)), f.b);
}

TEST(ReaderCacheTest, PurgedInstanceGoesWithAllItsSamplesAndTheirCounts) {
  Filled f;
  f.cache.mark_read(*f.s[1]);
  f.cache.mark_read(*f.s[2]);
  f.cache.purge_instance(*f.b);  // 2 (read), 4 (marker), 6 (unread)
  EXPECT_EQ(f.cache.find(key(2)), nullptr);
  EXPECT_EQ(f.cache.instance_count(), 1u);
  EXPECT_EQ(reader_order(f.cache), (std::vector<uint64_t>{1, 3, 5}));
  EXPECT_EQ(instance_order(*f.a), (std::vector<uint64_t>{1, 3, 5}));
  EXPECT_EQ(f.cache.valid_count(), 3);
  EXPECT_EQ(f.cache.unread_count(), 2);
  f.cache.purge_instance(*f.a);
  EXPECT_EQ(f.cache.instance_count(), 0u);
  EXPECT_EQ(f.cache.oldest(), nullptr);
  EXPECT_EQ(f.cache.valid_count(), 0);
  EXPECT_EQ(f.cache.unread_count(), 0);
}

TEST(ReaderCacheTest, PurgeRemovesExpiredValidSamplesOnly) {
  ReaderCache cache;
  CachedInstance& a = cache.add_instance(key(1), InstanceHandle_t{});
  CachedInstance& b = cache.add_instance(key(2), InstanceHandle_t{});
  cache.append(a, sample(1, true, 100));
  cache.append(b, sample(2, true, 300));
  cache.append(a, sample(3, true, 200));
  cache.append(a, sample(4, false));  // a state change never expires
  cache.append(b, sample(5, true));   // no lifespan

  EXPECT_FALSE(cache.purge_expired(99));
  EXPECT_EQ(reader_order(cache), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(cache.purge_expired(200)) << "a keeps its state change";
  EXPECT_EQ(reader_order(cache), (std::vector<uint64_t>{2, 4, 5}));
  EXPECT_EQ(cache.valid_count(), 2);
  EXPECT_EQ(a.valid_count(), 0);
  // What arrives later with an earlier expiry is purged in its time too.
  cache.append(a, sample(6, true, 250));
  EXPECT_FALSE(cache.purge_expired(260));
  EXPECT_EQ(reader_order(cache), (std::vector<uint64_t>{2, 4, 5}));
  // An instance that loses its last sample is reported.
  cache.remove(cache.oldest()->next()->next());  // 5
  EXPECT_TRUE(cache.purge_expired(300));
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(cache.valid_count(), 0);
}

// Cyclone gives every sample of an instance in one take the instance's state
// as of the take; each sample but the last of its instance gets the state
// the instance had right after it, so that a dispose or rebirth between two
// samples of one take is neither lost nor counted once per sample.
TEST(TakeStates, EachSampleGetsTheStateItLeftTheInstanceIn) {
  constexpr uint32_t A = DDS_IST_ALIVE, D = DDS_IST_NOT_ALIVE_DISPOSED, N = DDS_IST_NOT_ALIVE_NO_WRITERS;
  struct In {
    uint8_t key;
    bool valid;
    uint32_t reported;
    uint32_t disposed_gen, no_writers_gen;
  };
  struct Case {
    const char* what;
    std::vector<In> batch;
    std::vector<uint32_t> settled;
  };
  const Case cases[] = {
      {"one sample keeps the reported state", {{1, true, D, 0, 0}}, {D}},
      {"two samples, then a dispose without a marker", {{1, true, D, 0, 0}, {1, true, D, 0, 0}}, {A, D}},
      {"data, dispose marker, rebirth", {{1, true, A, 0, 0}, {1, false, A, 0, 0}, {1, true, A, 1, 0}}, {A, D, A}},
      {"rebirth from disposed between two samples", {{1, true, A, 0, 0}, {1, true, A, 1, 0}}, {D, A}},
      {"rebirth from no writers between two samples", {{1, true, A, 0, 0}, {1, true, A, 0, 1}}, {N, A}},
      {"instances apart", {{1, true, D, 0, 0}, {2, true, A, 0, 0}, {1, true, D, 0, 0}, {2, true, N, 0, 0}}, {A, A, D, N}},
      {"a marker with nothing reborn after it keeps its state",
       {{1, false, N, 0, 0}, {1, false, N, 0, 0}},
       {N, N}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<wire::WireSample> batch(c.batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
      batch[i].key = key(c.batch[i].key);
      batch[i].valid = c.batch[i].valid;
      batch[i].instance_state = c.batch[i].reported;
      batch[i].disposed_gen = c.batch[i].disposed_gen;
      batch[i].no_writers_gen = c.batch[i].no_writers_gen;
    }
    wire::settle_instance_states(batch);
    std::vector<uint32_t> settled;
    for (const auto& s : batch) settled.push_back(s.instance_state);
    EXPECT_EQ(settled, c.settled);
  }
}
