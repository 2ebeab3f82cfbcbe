// The skeleton every counterpart is written on: its entities, bounded waits
// for matches and samples, and checks gathered in verdicts, whose keys are
// reported only when every check passed.
//
//   PEER_TEST(HistoryQosPolicyTestNegative, ENABLED_HistoryQosPolicyNegative, "HistoryQosPolicy") {
//       cp::Entities e;
//       DataReader* reader = e.reader("history_topic_name", cp::reliable_reader(10));
//       ASSERT_TRUE(cp::ready());
//       cp::Verdict matched("match");
//       cp::Matches matches(reader);
//       const auto writers = cp::expect_matched(matched, matches, reader,
//                                               {cp::announced_writer("history_topic_name", "FlatRecord", qos)}, {}, "writer");
//       // The positive side writes after this key: report_before_writes.
//       if (!cp::report_before_writes("reader_match_finish", matched) || writers.empty()) return;
//       if (!cp::await("write_finish", 15000)) return;
//       cp::Verdict v("keep last 10");
//       const auto got = cp::collect<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(9), 2000);
//       std::vector<cp::Want> want;
//       for (int32_t i = 0; i <= 9; ++i) want.push_back(cp::Want::data(i).from(writers[0].handle));
//       cp::expect_samples(v, got, want, "keep last 10");
//       cp::report("reader_take_finish", v);    // sent only when every check passed
//       cp::Verdict gone("deletion");
//       matches.gone(gone);                     // the positive writer's match ends
//       e.release();                            // nothing of this test is left for the next one
//   }
//
// A check that fails is a googletest failure of the counterpart at once
// (a withheld key fails it too). Every wait is bounded, and every wait for
// data ends as soon as the positive side has closed the connection: a
// counterpart whose positive side has gone does not linger with its
// entities in domain 0.
#pragma once

#include "timing.h"
#include "verdict.h"
#include "entities.h"
#include "steps.h"
#include "announced.h"
#include "matches.h"
#include "samples.h"
#include "want.h"
#include "checks.h"
