// The benchmark through the Cyclone C API directly: the same members as
// KeyedType in an idlc-compiled type, a wait set with a read condition,
// loaned take. The domain is made with the library's own configuration
// (QUORVELA::wire::domain_config_xml()), so both programs run over the same
// Cyclone setup; nothing else of the library is used.
#include <dds/dds.h>

#include "BenchKeyed.h"
#include "scenario.h"
#include "wire/domain.h"

namespace {

constexpr int kBatch = 64;

class CycloneAdaptor {
 public:
  using Sample = qvbench_KeyedSample;

  CycloneAdaptor() = default;
  CycloneAdaptor(const CycloneAdaptor&) = delete;
  CycloneAdaptor& operator=(const CycloneAdaptor&) = delete;
  ~CycloneAdaptor() {
    if (participant_ > 0) dds_delete(participant_);
    if (domain_ > 0) dds_delete(domain_);
  }

  bool open(uint32_t domain) {
    domain_ = dds_create_domain(static_cast<dds_domainid_t>(domain), QUORVELA::wire::domain_config_xml().c_str());
    if (domain_ < 0) return false;
    participant_ = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
    if (participant_ < 0) return false;
    ws_ = dds_create_waitset(participant_);
    return ws_ > 0;
  }

  bool make_writer(const char* topic) {
    dds_entity_t t = dds_create_topic(participant_, &qvbench_KeyedSample_desc, topic, nullptr, nullptr);
    if (t < 0) return false;
    dds_qos_t* q = endpoint_qos();
    writer_ = dds_create_writer(participant_, t, q, nullptr);
    dds_delete_qos(q);
    return writer_ > 0;
  }

  bool make_reader(const char* topic) {
    dds_entity_t t = dds_create_topic(participant_, &qvbench_KeyedSample_desc, topic, nullptr, nullptr);
    if (t < 0) return false;
    dds_qos_t* q = endpoint_qos();
    reader_ = dds_create_reader(participant_, t, q, nullptr);
    dds_delete_qos(q);
    if (reader_ < 0) return false;
    cond_ = dds_create_readcondition(reader_, DDS_ANY_STATE);
    return cond_ > 0 && dds_waitset_attach(ws_, cond_, 0) == DDS_RETCODE_OK;
  }

  bool writer_matched() {
    dds_publication_matched_status_t st;
    return dds_get_publication_matched_status(writer_, &st) == DDS_RETCODE_OK && st.current_count > 0;
  }
  bool reader_matched() {
    dds_subscription_matched_status_t st;
    return dds_get_subscription_matched_status(reader_, &st) == DDS_RETCODE_OK && st.current_count > 0;
  }

  int write(const Sample& s) {
    const dds_return_t rc = dds_write(writer_, &s);
    return rc == DDS_RETCODE_OK ? 0 : rc == DDS_RETCODE_TIMEOUT ? 1 : -1;
  }

  template <class F>
  int take(F f) {
    void* samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    const dds_return_t n = dds_take(reader_, samples, infos, kBatch, kBatch);
    if (n < 0) return -1;
    int valid = 0;
    for (dds_return_t i = 0; i < n; ++i)
      if (infos[i].valid_data) {
        f(*static_cast<const Sample*>(samples[i]));
        ++valid;
      }
    if (n > 0) dds_return_loan(reader_, samples, n);
    return valid;
  }

  bool wait(int ms) { return dds_waitset_wait(ws_, nullptr, 0, DDS_MSECS(ms)) > 0; }

  bool wait_acks(int ms) { return dds_wait_for_acks(writer_, DDS_MSECS(ms)) == DDS_RETCODE_OK; }

  bool cycle_participant(uint32_t domain) {
    const dds_entity_t p = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
    return p > 0 && dds_delete(p) == DDS_RETCODE_OK;
  }

  // The caller keeps `text` alive while the sample is used (the benchmark
  // keeps one sample for the whole run).
  static Sample make(int32_t key, int16_t seq, const std::string& text) {
    static std::string keep;
    keep = text;
    return Sample{key, seq, keep.data()};
  }
  static void set(Sample& s, int32_t key, int16_t seq) {
    s.lVal = key;
    s.sVal = seq;
  }
  static int16_t seq_of(const Sample& s) { return s.sVal; }
  static int32_t key_of(const Sample& s) { return s.lVal; }

 private:
  // What the library asks of Cyclone for these endpoints: reliable with
  // 100 ms max blocking, keep all, volatile, unlimited resources.
  static dds_qos_t* endpoint_qos() {
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 1);
    dds_qset_durability(q, DDS_DURABILITY_VOLATILE);
    dds_qset_resource_limits(q, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
    return q;
  }

  dds_entity_t domain_ = 0, participant_ = 0, writer_ = 0, reader_ = 0, cond_ = 0, ws_ = 0;
};

}  // namespace

int main(int argc, char** argv) { return bench::main_for<CycloneAdaptor>(argc, argv, "cyclone"); }
