// Link between the test executable and the peer process: one TCP connection
// per connection id, framed key/value messages in both directions, and a
// queue of received messages that the tests wait on.
#ifndef HARNESS_TESTFRAME_H
#define HARNESS_TESTFRAME_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class TestFrame {
public:
    // One received message.
    struct DataEntry {
        std::string connectionId;
        std::string key;
        std::string value;
        std::size_t cost = 0;  // messageCost(), charged to its connection id while it is queued
    };

    // Largest key or value accepted from the peer; a longer one is treated
    // as a protocol error and ends the connection.
    static constexpr std::uint32_t kMaxFieldLength = 1u << 20;

    // Memory that the messages of one connection id may hold while they wait
    // in the queue, each charged messageCost(). A peer that sends more than
    // the tests take (a flood under a key nobody waits for, or under ever new
    // keys) loses that connection instead of growing the process without
    // limit; fifteen messages of the largest size fit.
    static constexpr std::size_t kMaxQueuedBytes = 16u << 20;

    // Memory that the messages of ended connections (every connection under
    // the id has ended) may hold together. Their messages stay to be taken,
    // as a test may wait for what the peer sent just before it closed; beyond
    // this the queues of the connection ids that ended first are freed, so
    // that ended connections cannot hold more than one open one may.
    static constexpr std::size_t kMaxEndedBytes = kMaxQueuedBytes;

    // What a received message costs while it is queued: the heap blocks of
    // its strings (connection id, key and value, each but the short ones
    // kept inside the string), its slot in the queue of its key, and a queue
    // of its own (the map node with its copy of the key, the queue's index
    // and first block), as if its key were new, with the allocator's
    // overhead on every block. So a connection's charge bounds what its
    // messages hold whatever their keys: one-byte values under ever new keys
    // cost about 900 bytes each, not 1.
    static std::size_t messageCost(const std::string& connectionId, const std::string& key,
                                   const std::string& value);

    // Send time-out on every connection, so that a peer that stops reading
    // cannot block a send (and the connection table) for ever.
    static constexpr int kSendTimeoutMs = 10000;

    static TestFrame& getInstance();

    TestFrame() = default;
    ~TestFrame();
    TestFrame(const TestFrame&) = delete;
    TestFrame& operator=(const TestFrame&) = delete;

    bool createConnection(const std::string& connectionId);
    bool sendData(const std::string& connectionId, const std::string& key,
                  const std::string& value = "default");
    bool waitForData(const std::string& connectionId, const std::string& key,
                     std::string& value, int timeoutMs);
    bool waitForData(const std::string& connectionId, const std::string& key,
                     int timeoutMs = -1);
    void destroyConnection(const std::string& connectionId);
    // What the queued messages of a connection id are charged (the sum of
    // their messageCost()); 0 when it has none.
    std::size_t queuedCost(const std::string& connectionId);

    std::int32_t mode = 0;
    std::atomic<bool> running{false};
    std::map<std::string, int> connections;
    std::mutex connectionsMutex;
    std::map<std::string, std::deque<DataEntry>> dataQueues;
    std::mutex dataMutex;
    std::condition_variable dataCondition;
    std::string serverAddress;
    std::int32_t serverPort = 0;

private:
    // Book-keeping of one receiver thread; guarded by connectionsMutex.
    struct Receiver {
        std::uint64_t token = 0;
        std::string connectionId;
        int fd = -1;
        bool closed = false;    // the receiver has closed fd; never touch it again
        bool finished = false;  // the thread is about to return
        std::thread thread;
    };

    static void receiveLoop(TestFrame* frame, std::string connectionId, int fd,
                            Receiver* self);
    bool receiveMessage(int fd, std::string& key, std::string& value);
    void endReceiver(Receiver* self);
    bool takeMatchingEntry(const std::string& connectionId, const std::string& key,
                           std::string& value);
    void reapFinishedReceivers();
    // With dataMutex held: the id's last connection has ended; frees the
    // queues of the ids that ended first while the ended ones hold more than
    // kMaxEndedBytes.
    void connectionIdEnded(const std::string& connectionId);
    // With dataMutex held: drops every queued message of the id.
    void dropQueued(const std::string& connectionId);

    // Guarded by connectionsMutex.
    std::map<std::string, std::uint64_t> connectionTokens;
    std::list<Receiver> receivers;
    std::uint64_t nextToken = 1;

    // Guarded by dataMutex: receivers still running per connection id, and
    // the cost (messageCost()) of each connection id's queued messages.
    std::map<std::string, int> liveReceivers;
    std::map<std::string, std::size_t> queuedBytes;
    // Ids whose every connection has ended and which still have queued
    // messages, in the order they ended; guarded by dataMutex.
    std::list<std::string> endedIds;
};

namespace harness_io {

// Sends all n bytes (looping over short sends, retrying on EINTR, never raising
// SIGPIPE). False on failure with errno set by the failing call.
bool sendAll(int fd, const void* data, std::size_t n);

// Receives exactly n bytes. False when the peer closed the stream first
// (errno 0) or a receive failed (errno set).
bool recvAll(int fd, void* data, std::size_t n);

}  // namespace harness_io

#endif  // HARNESS_TESTFRAME_H
