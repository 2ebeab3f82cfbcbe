// Content-filtered topics: creation, lookup, filter expression and parameters;
// samples written for the peer's filtering reader, with fixed parameters and
// around a change of parameters; compound expressions filtered in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <string>
#include <thread>

#include "KeyedType.h"
#include "SuiteSteps.h"
#include "TestFrame.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class ContentFilteredTPTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "ContentFilteredTPTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "ContentFilteredTPTestPositive::TearDown" << std::endl; }
};

namespace {

// A sample with every field defined: sVal, which the tests leave alone, is 0.
KeyedType make_sample(int32_t lVal, const std::string& sbVal) {
    KeyedType sample{};
    sample.lVal = lVal;
    sample.sbVal = sbVal;
    return sample;
}

// Writes the samples, gives the in-process delivery 200 ms and takes whatever
// the reader then holds into data_vec and info_vec, which are emptied first.
void write_then_take(DataWriter* writer, std::initializer_list<KeyedType> samples, DataReader* reader,
                     SequenceData<KeyedType>& data_vec, SequenceData<SampleInfo>& info_vec) {
    for (KeyedType sample : samples) writer->write(&sample, HANDLE_NIL);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    data_vec.release();
    info_vec.release();
    reader->take(data_vec, info_vec, 100, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
}

}  // namespace

TEST_F(ContentFilteredTPTestPositive, ENABLED_ContentFilteredTopicCreateAndManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* base_topic = participant->create_topic("base_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(base_topic, nullptr);

    ContentFilteredTopic* cft_simple =
        participant->create_contentfilteredtopic("cft_simple", base_topic, "lVal > 10", StringSeq{});
    ASSERT_NE(cft_simple, nullptr);
    ContentFilteredTopic* cft_param = participant->create_contentfilteredtopic(
        "cft_param", base_topic, "lVal > %0 AND lVal < %1", StringSeq{"5", "50"});
    ContentFilteredTopic* cft_complex = participant->create_contentfilteredtopic(
        "cft_complex", base_topic, "lVal BETWEEN %0 AND %1 OR sVal LIKE '%test%'", StringSeq{"10", "30"});
    ASSERT_NE(cft_complex, nullptr);

    TopicDescription* desc_simple = participant->lookup_topicdescription("cft_simple");
    EXPECT_NE(desc_simple, nullptr);
    TopicDescription* desc_param = participant->lookup_topicdescription("cft_param");
    EXPECT_NE(desc_param, nullptr);
    TopicDescription* desc_not_exist = participant->lookup_topicdescription("not_exist_cft");
    EXPECT_EQ(desc_not_exist, nullptr);

    EXPECT_EQ(cft_simple->get_filter_expression(), "lVal > 10");

    StringSeq params;
    if (cft_param != nullptr) {
        cft_param->get_expression_parameters(params);
    } else {
        ADD_FAILURE() << "cft_param was not created: its parameters cannot be read";
    }
    EXPECT_EQ(params.size(), 2u);
    EXPECT_ELEMENT_EQ(params, 0, "5");
    EXPECT_ELEMENT_EQ(params, 1, "50");

    EXPECT_EQ(cft_complex->get_related_topic(), base_topic);

    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_simple), RETCODE_OK);
    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_param), RETCODE_OK);
    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_complex), RETCODE_OK);

    ContentFilteredTopic* nullPtr = nullptr;
    EXPECT_NE(participant->delete_contentfilteredtopic(nullPtr), RETCODE_OK);

    EXPECT_EQ(participant->delete_topic(base_topic), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(ContentFilteredTPTestPositive, ENABLED_ContentFilteredTopicParameterManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* base_topic = participant->create_topic("param_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(base_topic, nullptr);

    ContentFilteredTopic* cft = participant->create_contentfilteredtopic(
        "param_cft", base_topic, "lVal > %0 AND lVal < %1 AND sVal = %2", StringSeq{"10", "100", "'test'"});
    ASSERT_NE(cft, nullptr);

    StringSeq params;
    EXPECT_EQ(cft->get_expression_parameters(params), RETCODE_OK);
    EXPECT_EQ(params.size(), 3u);
    EXPECT_ELEMENT_EQ(params, 0, "10");
    EXPECT_ELEMENT_EQ(params, 1, "100");
    EXPECT_ELEMENT_EQ(params, 2, "'test'");

    EXPECT_EQ(cft->get_filter_expression(), "lVal > %0 AND lVal < %1 AND sVal = %2");

    StringSeq new_params = {"20", "200", "'new_test'"};
    EXPECT_EQ(cft->set_expression_parameters(new_params), RETCODE_OK);

    params.clear();
    EXPECT_EQ(cft->get_expression_parameters(params), RETCODE_OK);
    EXPECT_EQ(params.size(), 3u);
    EXPECT_ELEMENT_EQ(params, 0, "20");
    EXPECT_ELEMENT_EQ(params, 1, "200");
    EXPECT_ELEMENT_EQ(params, 2, "'new_test'");

    StringSeq empty_params;
    EXPECT_NE(cft->set_expression_parameters(empty_params), RETCODE_OK);

    StringSeq valid_params = {"5", "50", "'valid'"};
    EXPECT_EQ(cft->set_expression_parameters(valid_params), RETCODE_OK);

    EXPECT_EQ(participant->delete_contentfilteredtopic(cft), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(base_topic), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(ContentFilteredTPTestPositive, ENABLED_ContentFilteredTopicBasicFilterPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "ContentFilteredTPTestNegative.ENABLED_ContentFilteredTopicBasicFilterNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("ContentFilteredTopicBasicFilter"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ContentFilteredTopicBasicFilter", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("filter_test_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ContentFilteredTopicBasicFilter", "reader_ready", dummy, 10000));

    KeyedType inst1 = make_sample(5, "test1");
    KeyedType inst2 = make_sample(15, "test2");
    KeyedType inst3 = make_sample(25, "test3");
    KeyedType inst4 = make_sample(35, "test4");
    KeyedType inst5 = make_sample(45, "test5");
    EXPECT_EQ(writer->write(&inst1, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst2, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst3, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst4, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst5, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("ContentFilteredTopicBasicFilter", "filter_check_done", dummy, 10000));

    EXPECT_EQ(participant->delete_contained_entities(), RETCODE_OK);
    factory->delete_participant(participant);
    DomainParticipantFactory::finalize();

    TestFrame::getInstance().destroyConnection("ContentFilteredTopicBasicFilter");
}

TEST_F(ContentFilteredTPTestPositive, ENABLED_ContentFilteredTopicDynamicParameterPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "ContentFilteredTPTestNegative.ENABLED_ContentFilteredTopicDynamicParameterNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("ContentFilteredTopicDynamicParameter"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ContentFilteredTopicDynamicParameter", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("dynamic_filter_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("ContentFilteredTopicDynamicParameter", "reader_ready", dummy, 10000));

    KeyedType inst1 = make_sample(5, "");
    KeyedType inst2 = make_sample(15, "");
    KeyedType inst3 = make_sample(25, "");
    KeyedType inst4 = make_sample(35, "");
    KeyedType inst5 = make_sample(45, "");
    EXPECT_EQ(writer->write(&inst1, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst2, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst3, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst4, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst5, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().waitForData("ContentFilteredTopicDynamicParameter", "first_round_done",
                                                     dummy, 10000));
    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("ContentFilteredTopicDynamicParameter", "param_changed", dummy, 10000));

    KeyedType inst6 = make_sample(50, "");
    KeyedType inst7 = make_sample(60, "");
    KeyedType inst8 = make_sample(70, "");
    KeyedType inst9 = make_sample(80, "");
    KeyedType inst10 = make_sample(90, "");
    EXPECT_EQ(writer->write(&inst6, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst7, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst8, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst9, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&inst10, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().waitForData("ContentFilteredTopicDynamicParameter", "second_round_done",
                                                     dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("ContentFilteredTopicDynamicParameter");
}

TEST_F(ContentFilteredTPTestPositive, ENABLED_ContentFilteredTopicComplexExpression) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* base_topic =
        participant->create_topic("complex_filter_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(base_topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    // Conjunction with a text pattern.
    ContentFilteredTopic* cft_and = participant->create_contentfilteredtopic(
        "cft_and", base_topic, "lVal > 10 AND sbVal LIKE '%test%'", StringSeq{});
    ASSERT_NE(cft_and, nullptr);
    DataWriter* writer_and = publisher->create_datawriter(base_topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer_and, nullptr);
    DataReader* reader_and = subscriber->create_datareader(cft_and, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader_and, nullptr);
    SequenceData<KeyedType> data_vec;
    SequenceData<SampleInfo> info_vec;
    write_then_take(writer_and,
                    {make_sample(5, "test1"), make_sample(15, "test2"), make_sample(20, "notest"),
                     make_sample(25, "mytest"), make_sample(30, "abc")},
                    reader_and, data_vec, info_vec);
    for (uint32_t i = 0; i < data_vec.length(); ++i) {
        EXPECT_GT(data_vec[i].lVal, 10);
        EXPECT_NE(data_vec[i].sbVal.find("test"), std::string::npos);
    }

    // Disjunction.
    ContentFilteredTopic* cft_or =
        participant->create_contentfilteredtopic("cft_or", base_topic, "lVal < 5 OR lVal > 95", StringSeq{});
    ASSERT_NE(cft_or, nullptr);
    DataWriter* writer_or = publisher->create_datawriter(base_topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer_or, nullptr);
    DataReader* reader_or = subscriber->create_datareader(cft_or, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader_or, nullptr);
    write_then_take(writer_or, {make_sample(2, "x"), make_sample(50, "y"), make_sample(99, "z"), make_sample(100, "w")},
                    reader_or, data_vec, info_vec);
    for (uint32_t i = 0; i < data_vec.length(); ++i) {
        EXPECT_TRUE(data_vec[i].lVal < 5 || data_vec[i].lVal > 95);
    }

    // Range.
    ContentFilteredTopic* cft_between =
        participant->create_contentfilteredtopic("cft_between", base_topic, "lVal BETWEEN 20 AND 80", StringSeq{});
    ASSERT_NE(cft_between, nullptr);
    DataWriter* writer_between = publisher->create_datawriter(base_topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer_between, nullptr);
    DataReader* reader_between = subscriber->create_datareader(cft_between, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader_between, nullptr);
    write_then_take(writer_between,
                    {make_sample(10, "a"), make_sample(25, "b"), make_sample(50, "c"), make_sample(80, "d"),
                     make_sample(90, "e")},
                    reader_between, data_vec, info_vec);
    for (uint32_t i = 0; i < data_vec.length(); ++i) {
        EXPECT_GE(data_vec[i].lVal, 20);
        EXPECT_LE(data_vec[i].lVal, 80);
    }

    // Text prefix pattern.
    ContentFilteredTopic* cft_like =
        participant->create_contentfilteredtopic("cft_like", base_topic, "sbVal LIKE 'prefix_%'", StringSeq{});
    ASSERT_NE(cft_like, nullptr);
    DataWriter* writer_like = publisher->create_datawriter(base_topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer_like, nullptr);
    DataReader* reader_like = subscriber->create_datareader(cft_like, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader_like, nullptr);
    write_then_take(writer_like,
                    {make_sample(1, "prefix_abc"), make_sample(2, "prefix_xyz"), make_sample(3, "noprefix"),
                     make_sample(4, "prefix_"), make_sample(5, "pre_fix")},
                    reader_like, data_vec, info_vec);
    for (uint32_t i = 0; i < data_vec.length(); ++i) {
        EXPECT_TRUE(data_vec[i].sbVal.find("prefix_") == 0);
    }

    EXPECT_EQ(subscriber->delete_datareader(reader_and), RETCODE_OK);
    EXPECT_EQ(subscriber->delete_datareader(reader_or), RETCODE_OK);
    EXPECT_EQ(subscriber->delete_datareader(reader_between), RETCODE_OK);
    EXPECT_EQ(subscriber->delete_datareader(reader_like), RETCODE_OK);
    EXPECT_EQ(publisher->delete_datawriter(writer_and), RETCODE_OK);
    EXPECT_EQ(publisher->delete_datawriter(writer_or), RETCODE_OK);
    EXPECT_EQ(publisher->delete_datawriter(writer_between), RETCODE_OK);
    EXPECT_EQ(publisher->delete_datawriter(writer_like), RETCODE_OK);
    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_and), RETCODE_OK);
    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_or), RETCODE_OK);
    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_between), RETCODE_OK);
    EXPECT_EQ(participant->delete_contentfilteredtopic(cft_like), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(base_topic), RETCODE_OK);

    factory->delete_participant(participant);
    DomainParticipantFactory::finalize();
}
