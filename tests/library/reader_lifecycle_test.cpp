// The reader data lifecycle: a reader forgets an instance, with every sample
// it holds of it, once the instance has been disposed or without writers for
// the autopurge delay of that state. Writer and readers in one participant.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

using Clock = std::chrono::steady_clock;

int ms_since(Clock::time_point t) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

DataReaderQos lifecycle_qos(const Duration_t& nowriter, const Duration_t& disposed) {
  DataReaderQos q = reader_qos(RELIABLE_RELIABILITY_QOS, 100);
  q.reader_data_lifecycle.autopurge_nowriter_samples_delay = nowriter;
  q.reader_data_lifecycle.autopurge_disposed_samples_delay = disposed;
  return q;
}

// What a reader holds of one key: the handle lookup_instance gives, and the
// infos of every sample of the instance (read, so marked read).
struct Held {
  InstanceHandle_t handle = HANDLE_NIL;
  std::vector<SampleInfo> infos;
  size_t valid() const {
    size_t n = 0;
    for (const SampleInfo& i : infos) n += i.valid_data ? 1 : 0;
    return n;
  }
  // The instance state the newest sample reports; ALIVE when none.
  InstanceStateKind state() const { return infos.empty() ? ALIVE_INSTANCE_STATE : infos.back().instance_state; }
};

Held held(DataReader* r, int32_t key) {
  Held h;
  KeyedType k = keyed(key);
  h.handle = r->lookup_instance(&k);
  if (h.handle == HANDLE_NIL) return h;
  SequenceData<KeyedType> data;
  SampleInfoSeq infos;
  if (r->read_instance(data, infos, LENGTH_UNLIMITED, h.handle, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                       ANY_INSTANCE_STATE) == RETCODE_OK)
    for (uint32_t i = 0; i < infos.length(); ++i) h.infos.push_back(infos[i]);
  return h;
}

bool knows(DataReader* r, int32_t key) {
  KeyedType k = keyed(key);
  return r->lookup_instance(&k) != HANDLE_NIL;
}

class ReaderLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(st.make("reader_lifecycle_" + std::to_string(getpid()) + "_" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                        true));
  }
  void TearDown() override {
    st.destroy();
    DomainParticipantFactory::finalize();
  }
  DataWriter* writer(bool autodispose = true) {
    DataWriterQos q = DATAWRITER_QOS_DEFAULT;
    q.writer_data_lifecycle.autodispose_unregistered_instances = autodispose;
    return st.publisher->create_datawriter(st.topic, q, nullptr, 0);
  }
  DataReader* reader(const DataReaderQos& q) { return st.subscriber->create_datareader(st.topic, q, nullptr, 0); }
  static void write(DataWriter* w, int32_t key) {
    KeyedType k = keyed(key);
    EXPECT_EQ(w->write(&k, HANDLE_NIL), RETCODE_OK);
  }
  static void dispose(DataWriter* w, int32_t key) {
    KeyedType k = keyed(key);
    EXPECT_EQ(w->dispose(&k, HANDLE_NIL), RETCODE_OK);
  }
  // Polls until r's newest sample of key reports `state`.
  static bool reaches(DataReader* r, int32_t key, InstanceStateKind state, Held* seen = nullptr) {
    return eventually([&] {
      Held h = held(r, key);
      if (seen) *seen = h;
      return !h.infos.empty() && h.state() == state;
    }, 5000);
  }
  Stack st;
};

// Present until the delay has passed, read or not; then gone with its handle,
// and the key makes a new instance (no disposal counted) when it comes again.
TEST_F(ReaderLifecycle, DisposedInstanceGoesAfterItsDelayAndComesBackAsANewInstance) {
  const int delay_ms = 300;
  DataWriter* w = writer();
  DataReader* r = reader(lifecycle_qos(DURATION_INFINITE, ms_duration(delay_ms)));
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  write(w, 1);
  write(w, 2);
  ASSERT_TRUE(eventually([&] { return held(r, 1).valid() == 1 && held(r, 2).valid() == 1; }, 5000));
  write(w, 1);  // not read before the purge
  const Clock::time_point disposed_at = Clock::now();
  dispose(w, 1);
  Held before;
  ASSERT_TRUE(reaches(r, 1, NOT_ALIVE_DISPOSED_INSTANCE_STATE, &before));
  EXPECT_EQ(before.valid(), 2u);

  ASSERT_TRUE(eventually([&] { return !knows(r, 1); }, delay_ms + 5000));
  EXPECT_GE(ms_since(disposed_at), delay_ms) << "purged before its delay";
  SequenceData<KeyedType> data;
  SampleInfoSeq infos;
  EXPECT_EQ(r->read_instance(data, infos, LENGTH_UNLIMITED, before.handle, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                             ANY_INSTANCE_STATE),
            RETCODE_BAD_PARAMETER)
      << "the handle is forgotten";
  EXPECT_EQ(r->take(data, infos, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, NOT_ALIVE_INSTANCE_STATE),
            RETCODE_NO_DATA);
  EXPECT_EQ(held(r, 2).valid(), 1u) << "the alive instance stays";

  write(w, 1);
  Held after;
  ASSERT_TRUE(eventually([&] { after = held(r, 1); return after.valid() == 1; }, 5000));
  ASSERT_EQ(after.infos.size(), 1u);
  EXPECT_EQ(after.infos[0].view_state, NEW_VIEW_STATE);
  EXPECT_EQ(after.infos[0].instance_state, ALIVE_INSTANCE_STATE);
  EXPECT_EQ(after.infos[0].disposed_generation_count, 0) << "a reborn instance would count its disposal";
}

// Deleting a writer that does not dispose leaves its instances without
// writers: the no-writers delay applies, not the disposed one, and an
// infinite delay keeps them as before.
TEST_F(ReaderLifecycle, WriterlessInstancesGoAfterTheNoWritersDelay) {
  DataWriter* w = writer(false);
  DataReader* purging = reader(lifecycle_qos(ms_duration(200), DURATION_INFINITE));
  DataReader* disposed_only = reader(lifecycle_qos(DURATION_INFINITE, DURATION_ZERO));
  DataReader* keeping = reader(lifecycle_qos(DURATION_INFINITE, DURATION_INFINITE));
  ASSERT_TRUE(w && purging && disposed_only && keeping);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 3; }, 5000));
  write(w, 1);
  write(w, 2);
  for (DataReader* r : {purging, disposed_only, keeping})
    ASSERT_TRUE(eventually([&] { return knows(r, 1) && knows(r, 2); }, 5000));
  const Clock::time_point deleted_at = Clock::now();
  ASSERT_EQ(st.publisher->delete_datawriter(w), RETCODE_OK);

  ASSERT_TRUE(eventually([&] { return !knows(purging, 1) && !knows(purging, 2); }, 5000));
  EXPECT_GE(ms_since(deleted_at), 200);
  for (DataReader* r : {disposed_only, keeping}) {
    for (int32_t key : {1, 2}) {
      Held h;
      EXPECT_TRUE(reaches(r, key, NOT_ALIVE_NO_WRITERS_INSTANCE_STATE, &h)) << key;
      EXPECT_EQ(h.valid(), 1u) << key;
    }
  }
}

// A zero delay purges with the arrival of the state change: the reader never
// shows the disposed instance, also when its last sample and the disposal
// arrive together.
TEST_F(ReaderLifecycle, ZeroDelayPurgesWhenTheStateIsReached) {
  DataWriter* w = writer();
  DataReader* r = reader(lifecycle_qos(DURATION_INFINITE, DURATION_ZERO));
  DataReader* keeping = reader(lifecycle_qos(DURATION_INFINITE, DURATION_INFINITE));
  ASSERT_TRUE(w && r && keeping);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 2; }, 5000));
  write(w, 1);
  ASSERT_TRUE(eventually([&] { return held(r, 1).valid() == 1; }, 5000));
  dispose(w, 1);
  write(w, 2);
  dispose(w, 2);
  bool saw_not_alive = false;
  ASSERT_TRUE(eventually([&] {
    for (int32_t key : {1, 2}) saw_not_alive = saw_not_alive || held(r, key).state() != ALIVE_INSTANCE_STATE;
    return held(keeping, 2).state() == NOT_ALIVE_DISPOSED_INSTANCE_STATE && !knows(r, 1) && !knows(r, 2);
  }, 5000));
  EXPECT_FALSE(saw_not_alive);
  EXPECT_TRUE(reaches(keeping, 1, NOT_ALIVE_DISPOSED_INSTANCE_STATE));
}

// A sample before the delay has passed brings the instance back and stops
// its purge (of either delay: an alive instance has none); the next disposal
// starts the delay again.
TEST_F(ReaderLifecycle, RebirthBeforeTheDelayCancelsThePurge) {
  // Long enough for a dispose and a write to arrive within it on a loaded
  // machine under the sanitizers.
  const int delay_ms = 1000;
  DataWriter* w = writer();
  DataReader* r = reader(lifecycle_qos(ms_duration(delay_ms), ms_duration(delay_ms)));
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  write(w, 1);
  ASSERT_TRUE(eventually([&] { return held(r, 1).valid() == 1; }, 5000));
  const Clock::time_point first_disposal = Clock::now();
  dispose(w, 1);
  ASSERT_TRUE(reaches(r, 1, NOT_ALIVE_DISPOSED_INSTANCE_STATE));
  write(w, 1);
  ASSERT_TRUE(reaches(r, 1, ALIVE_INSTANCE_STATE));
  ASSERT_LT(ms_since(first_disposal), delay_ms) << "too slow to come back in time; nothing checked";

  sleep_ms(2 * delay_ms);  // well past the first disposal's purge
  Held h = held(r, 1);
  ASSERT_FALSE(h.infos.empty());
  EXPECT_EQ(h.state(), ALIVE_INSTANCE_STATE);
  EXPECT_EQ(h.infos.back().disposed_generation_count, 1) << "the same instance, reborn";

  const Clock::time_point second_disposal = Clock::now();
  dispose(w, 1);
  ASSERT_TRUE(eventually([&] { return !knows(r, 1); }, delay_ms + 5000));
  EXPECT_GE(ms_since(second_disposal), delay_ms);
}

// The policy changes on an enabled reader. The delay counts from when the
// instance became not alive, with the value in force: a shorter one re-times
// a pending purge, an infinite one cancels it; instances that become not
// alive after the change follow it too.
TEST_F(ReaderLifecycle, ChangedOnAnEnabledReader) {
  struct Case {
    const char* what;
    Duration_t before, after;
    bool purged;
  } cases[] = {
      {"infinite to 100 ms", DURATION_INFINITE, ms_duration(100), true},
      {"30 s to 100 ms", Duration_t{30, 0}, ms_duration(100), true},
      {"1 s to infinite", Duration_t{1, 0}, DURATION_INFINITE, false},
  };
  DataWriter* w = writer();
  ASSERT_TRUE(w);
  int32_t key = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DataReader* r = reader(lifecycle_qos(DURATION_INFINITE, c.before));
    ASSERT_TRUE(r);
    ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 1; }, 5000));
    const int32_t earlier = ++key, later = ++key;
    write(w, earlier);
    ASSERT_TRUE(eventually([&] { return knows(r, earlier); }, 5000));
    dispose(w, earlier);
    ASSERT_TRUE(reaches(r, earlier, NOT_ALIVE_DISPOSED_INSTANCE_STATE));

    DataReaderQos q;
    ASSERT_EQ(r->get_qos(q), RETCODE_OK);
    q.reader_data_lifecycle.autopurge_disposed_samples_delay = c.after;
    ASSERT_EQ(r->set_qos(q), RETCODE_OK);
    ASSERT_EQ(r->get_qos(q), RETCODE_OK);
    EXPECT_EQ(q.reader_data_lifecycle.autopurge_disposed_samples_delay, c.after);
    if (c.purged) {
      EXPECT_TRUE(eventually([&] { return !knows(r, earlier); }, 5000)) << "the pending one re-timed";
    }

    write(w, later);
    ASSERT_TRUE(eventually([&] { return knows(r, later); }, 5000));
    dispose(w, later);
    if (c.purged) {
      EXPECT_TRUE(eventually([&] { return !knows(r, later); }, 5000));
    } else {
      EXPECT_TRUE(reaches(r, later, NOT_ALIVE_DISPOSED_INSTANCE_STATE));
      sleep_ms(1500);  // past the second that no longer applies
      EXPECT_EQ(held(r, earlier).state(), NOT_ALIVE_DISPOSED_INSTANCE_STATE);
      EXPECT_EQ(held(r, later).state(), NOT_ALIVE_DISPOSED_INSTANCE_STATE);
    }
    ASSERT_EQ(st.subscriber->delete_datareader(r), RETCODE_OK);
  }
}

// What a purge takes away is taken from every count: the instance limit has
// room again, a condition that held only through the purged samples turns
// false, and data is no longer available. A reader deleted with a purge
// pending gets no call afterwards.
TEST_F(ReaderLifecycle, PurgeFreesRoomAndClearsConditions) {
  const int delay_ms = 300;
  DataWriter* w = writer();
  DataReaderQos q = lifecycle_qos(DURATION_INFINITE, ms_duration(delay_ms));
  q.resource_limits.max_instances = 2;
  DataReader* r = reader(q);
  ASSERT_TRUE(w && r);
  ReadCondition* disposed = r->create_readcondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, NOT_ALIVE_DISPOSED_INSTANCE_STATE);
  ASSERT_NE(disposed, nullptr);
  WaitSet ws;
  ASSERT_EQ(ws.attach_condition(*disposed), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));

  write(w, 1);
  write(w, 2);
  ASSERT_TRUE(eventually([&] { return held(r, 1).valid() == 1 && held(r, 2).valid() == 1; }, 5000));
  write(w, 3);
  SampleRejectedStatus rejected;
  ASSERT_TRUE(eventually([&] {
    return r->get_sample_rejected_status(rejected) == RETCODE_OK && rejected.total_count == 1;
  }, 5000));
  EXPECT_EQ(rejected.last_reason, REJECTED_BY_INSTANCES_LIMIT);
  EXPECT_FALSE(knows(r, 3));

  dispose(w, 1);
  ConditionSeq active;
  ASSERT_EQ(ws.wait(active, Duration_t{5, 0}), RETCODE_OK);
  EXPECT_EQ(active, (ConditionSeq{disposed}));
  EXPECT_NE(r->get_status_changes() & DATA_AVAILABLE_STATUS, 0u) << "the disposal is not read yet";

  ASSERT_TRUE(eventually([&] { return !knows(r, 1); }, delay_ms + 5000));
  EXPECT_FALSE(disposed->get_trigger_value());
  EXPECT_EQ(ws.wait(active, ms_duration(50)), RETCODE_TIMEOUT);
  EXPECT_EQ(r->get_status_changes() & DATA_AVAILABLE_STATUS, 0u);
  write(w, 3);
  EXPECT_TRUE(eventually([&] { return held(r, 3).valid() == 1; }, 5000)) << "the purge left room";
  ASSERT_EQ(r->get_sample_rejected_status(rejected), RETCODE_OK);
  EXPECT_EQ(rejected.total_count, 1);

  dispose(w, 2);
  ASSERT_TRUE(reaches(r, 2, NOT_ALIVE_DISPOSED_INSTANCE_STATE));
  ASSERT_EQ(ws.detach_condition(*disposed), RETCODE_OK);
  ASSERT_EQ(st.subscriber->delete_datareader(r), RETCODE_OK);
  sleep_ms(2 * delay_ms);  // the purge would have run here
}

}  // namespace
