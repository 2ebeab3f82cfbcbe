#include "TestFrame.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <iterator>
#include <iostream>
#include <utility>

namespace harness_io {

bool sendAll(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (sent == 0) {
            errno = EPIPE;
            return false;
        }
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool recvAll(int fd, void* data, std::size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        ssize_t got = ::recv(fd, p, n, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            errno = 0;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace harness_io

namespace {

constexpr int kConnectAttempts = 5;
constexpr int kConnectTimeoutMs = 5000;

void sleepOneSecond() {
    timespec remaining{1, 0};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// connect() bounded in time; on failure returns -1 with errno set.
int connectBounded(int fd, const sockaddr_in& addr) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                errno = ETIMEDOUT;
                rc = -1;
                break;
            }
            pollfd pfd{fd, POLLOUT, 0};
            const int pr = ::poll(&pfd, 1, static_cast<int>(left));
            if (pr < 0 && errno == EINTR) {
                continue;
            }
            if (pr < 0) {
                rc = -1;
                break;
            }
            if (pr == 0) {
                continue;  // re-checks the deadline
            }
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                rc = -1;
            } else if (err != 0) {
                errno = err;
                rc = -1;
            } else {
                rc = 0;
            }
            break;
        }
    }
    const int saved = errno;
    ::fcntl(fd, F_SETFL, flags);
    errno = saved;
    return rc;
}

}  // namespace

namespace {

// What the allocator adds to every block it hands out (its header and
// alignment), at most.
constexpr std::size_t kBlockOverhead = 2 * sizeof(void*);

// The heap block a string holds; none for a short one kept inside it.
std::size_t heapBytes(const std::string& s) {
    const char* inside = reinterpret_cast<const char*>(&s);
    if (s.data() >= inside && s.data() < inside + sizeof s) {
        return 0;
    }
    return s.capacity() + 1 + kBlockOverhead;
}

// The blocks of a queue made for a new key: the map node (its links, the
// key and the queue), the queue's index (eight pointers at first) and its
// first block of entries (at least 512 bytes).
constexpr std::size_t kNewKeyCost =
    sizeof(std::pair<const std::string, std::deque<TestFrame::DataEntry>>) + 4 * sizeof(void*) + kBlockOverhead +
    8 * sizeof(void*) + kBlockOverhead + std::max<std::size_t>(512, sizeof(TestFrame::DataEntry)) + kBlockOverhead;

}  // namespace

std::size_t TestFrame::messageCost(const std::string& connectionId, const std::string& key,
                                   const std::string& value) {
    // The entry's slot with its share of the queue's index; the key twice:
    // in the entry and in the map.
    return sizeof(DataEntry) + sizeof(void*) + kNewKeyCost + heapBytes(connectionId) + 2 * heapBytes(key) +
           heapBytes(value);
}

TestFrame& TestFrame::getInstance() {
    static TestFrame instance;
    return instance;
}

TestFrame::~TestFrame() {
    running = false;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        // Wake every receiver; each one closes its own socket.
        for (Receiver& r : receivers) {
            if (!r.closed) {
                ::shutdown(r.fd, SHUT_RDWR);
            }
        }
        connections.clear();
        connectionTokens.clear();
    }
    dataCondition.notify_all();
    for (Receiver& r : receivers) {
        if (r.thread.joinable()) {
            r.thread.join();
        }
    }
}

bool TestFrame::createConnection(const std::string& connectionId) {
    if (mode != 0) {
        return false;
    }
    std::cout << "Creating connection with ID: " << connectionId << std::endl;
    if (connectionId.empty()) {
        std::cerr << "Invalid connection ID: the ID is empty" << std::endl;
        return false;
    }

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        std::cerr << "Failed to create socket, error: " << err << std::endl;
        return false;
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(serverPort));
    if (serverAddress.find('\0') != std::string::npos ||
        ::inet_aton(serverAddress.c_str(), &addr.sin_addr) == 0) {
        std::cerr << "Invalid server address: " << serverAddress << std::endl;
        ::close(fd);
        return false;
    }

    int attempt = 1;
    bool connected = false;
    for (; attempt <= kConnectAttempts; ++attempt) {
        if (fd < 0) {
            // A socket whose connect failed is not reused.
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                const int err = errno;
                std::cerr << "Failed to create socket, error: " << err << std::endl;
                return false;
            }
        }
        if (connectBounded(fd, addr) == 0) {
            connected = true;
            break;
        }
        const int err = errno;
        std::cerr << "Connect failed on attempt " << attempt << ", error: " << err << std::endl;
        ::close(fd);
        fd = -1;
        sleepOneSecond();
    }
    if (!connected) {
        std::cerr << "Failed to connect after " << kConnectAttempts << " attempts." << std::endl;
        return false;
    }
    std::cout << "Connection established on attempt " << attempt << std::endl;

    timeval sendTimeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

    if (!harness_io::sendAll(fd, connectionId.data(), connectionId.size())) {
        const int err = errno;
        std::cerr << "Send failed (connection_id), error: " << err << std::endl;
        ::close(fd);
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(dataMutex);
        ++liveReceivers[connectionId];
        endedIds.remove(connectionId);  // open again: its messages count against its own limit
    }
    reapFinishedReceivers();

    bool started = false;
    try {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        Receiver& r = receivers.emplace_back();
        r.token = nextToken++;
        r.connectionId = connectionId;
        r.fd = fd;
        try {
            r.thread = std::thread(&TestFrame::receiveLoop, this, connectionId, fd, &r);
        } catch (...) {
            receivers.pop_back();
            throw;
        }
        connections[connectionId] = fd;
        connectionTokens[connectionId] = r.token;
        started = true;
    } catch (...) {
        if (!started) {
            ::close(fd);
            std::lock_guard<std::mutex> lock(dataMutex);
            if (--liveReceivers[connectionId] <= 0) {
                liveReceivers.erase(connectionId);
                connectionIdEnded(connectionId);
            }
        }
        throw;
    }
    return true;
}

bool TestFrame::sendData(const std::string& connectionId, const std::string& key,
                         const std::string& value) {
    std::cout << "Sending data to connection ID: " << connectionId << ", key: " << key
              << ", value: " << value << std::endl;
    std::lock_guard<std::mutex> lock(connectionsMutex);
    auto it = connections.find(connectionId);
    if (it == connections.end()) {
        std::cout << "connections do not find" << std::endl;
        return false;
    }
    // An empty part cannot be framed: the peer reads a zero length as the end
    // of the connection. Refuse before anything goes on the wire.
    if (key.empty()) {
        std::cerr << "Send refused (empty key)" << std::endl;
        return false;
    }
    if (value.empty()) {
        std::cerr << "Send refused (empty value)" << std::endl;
        return false;
    }
    const int fd = it->second;
    const std::uint32_t keyLength = htonl(static_cast<std::uint32_t>(key.size()));
    const std::uint32_t valueLength = htonl(static_cast<std::uint32_t>(value.size()));
    struct Part {
        const void* data;
        std::size_t size;
        const char* failure;
    };
    const Part parts[] = {
        {&keyLength, sizeof keyLength, "Send failed (key length), error: "},
        {key.data(), key.size(), "Send failed (key), error: "},
        {&valueLength, sizeof valueLength, "Send failed (value length), error: "},
        {value.data(), value.size(), "Send failed (value), error: "},
    };
    for (const Part& part : parts) {
        if (!harness_io::sendAll(fd, part.data, part.size)) {
            const int err = errno;
            std::cerr << part.failure << err << std::endl;
            // The stream is no longer framed; end the connection. Its receiver
            // wakes, erases the entry and closes the socket.
            ::shutdown(fd, SHUT_RDWR);
            return false;
        }
    }
    return true;
}

bool TestFrame::takeMatchingEntry(const std::string& connectionId, const std::string& key,
                                  std::string& value) {
    auto q = dataQueues.find(key);
    if (q == dataQueues.end()) {
        return false;
    }
    std::deque<DataEntry>& queue = q->second;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->connectionId == connectionId) {
            auto bytes = queuedBytes.find(connectionId);
            if (bytes != queuedBytes.end()) {
                bytes->second -= std::min(bytes->second, it->cost);
                if (bytes->second == 0 && liveReceivers.find(connectionId) == liveReceivers.end()) {
                    queuedBytes.erase(bytes);
                    endedIds.remove(connectionId);
                }
            }
            value = std::move(it->value);
            queue.erase(it);
            if (queue.empty()) {
                dataQueues.erase(q);
            }
            return true;
        }
    }
    return false;
}

bool TestFrame::waitForData(const std::string& connectionId, const std::string& key,
                            std::string& value, int timeoutMs) {
    std::unique_lock<std::mutex> lock(dataMutex);
    std::string taken;
    if (takeMatchingEntry(connectionId, key, taken)) {
        value = std::move(taken);
        std::cout << "Data received from connection ID: " << connectionId << ", key: " << key
                  << ", value: " << value << std::endl;
        return true;
    }
    std::cout << "Waiting for data from connection ID: " << connectionId << ", key: " << key
              << std::endl;

    auto ready = [&] {
        if (!running) {
            return true;
        }
        auto q = dataQueues.find(key);
        if (q != dataQueues.end()) {
            for (const DataEntry& e : q->second) {
                if (e.connectionId == connectionId) {
                    return true;
                }
            }
        }
        // No connection under this id can still deliver anything.
        return liveReceivers.find(connectionId) == liveReceivers.end();
    };
    if (timeoutMs == -1) {
        dataCondition.wait(lock, ready);
    } else if (timeoutMs > 0) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        dataCondition.wait_until(lock, deadline, ready);
    }
    if (takeMatchingEntry(connectionId, key, taken)) {
        value = std::move(taken);
        return true;
    }
    return false;
}

bool TestFrame::waitForData(const std::string& connectionId, const std::string& key,
                            int timeoutMs) {
    std::string value;
    return waitForData(connectionId, key, value, timeoutMs);
}

void TestFrame::destroyConnection(const std::string& connectionId) {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    auto it = connections.find(connectionId);
    if (it == connections.end()) {
        std::cerr << "Connection with ID: " << connectionId << " not found." << std::endl;
        return;
    }
    // The receiver owns the socket: shutting it down wakes the receiver, which
    // then closes it.
    ::shutdown(it->second, SHUT_RDWR);
    connections.erase(it);
    connectionTokens.erase(connectionId);
    std::cout << "Connection with ID: " << connectionId << " has been destroyed." << std::endl;
}

std::size_t TestFrame::queuedCost(const std::string& connectionId) {
    std::lock_guard<std::mutex> lock(dataMutex);
    auto it = queuedBytes.find(connectionId);
    return it == queuedBytes.end() ? 0 : it->second;
}

bool TestFrame::receiveMessage(int fd, std::string& key, std::string& value) {
    std::string* fields[] = {&key, &value};
    for (std::string* field : fields) {
        std::uint32_t netLength = 0;
        if (!harness_io::recvAll(fd, &netLength, sizeof netLength)) {
            return false;
        }
        const std::uint32_t length = ntohl(netLength);
        if (length == 0) {
            return false;
        }
        if (length > kMaxFieldLength) {
            std::cerr << "Receive failed (length too large), length: " << length << std::endl;
            return false;
        }
        field->resize(length);
        if (!harness_io::recvAll(fd, field->data(), length)) {
            return false;
        }
    }
    return true;
}

void TestFrame::receiveLoop(TestFrame* frame, std::string connectionId, int fd, Receiver* self) {
    while (frame->running) {
        std::string key;
        std::string value;
        if (!frame->receiveMessage(fd, key, value)) {
            break;
        }
        DataEntry entry{connectionId, std::move(key), std::move(value)};
        entry.cost = messageCost(entry.connectionId, entry.key, entry.value);
        bool overLimit = false;
        {
            std::lock_guard<std::mutex> lock(frame->dataMutex);
            std::size_t& queued = frame->queuedBytes[connectionId];
            if (queued + entry.cost > kMaxQueuedBytes) {
                overLimit = true;
            } else {
                queued += entry.cost;
                std::deque<DataEntry>& queue = frame->dataQueues[entry.key];
                queue.push_back(std::move(entry));
            }
        }
        if (overLimit) {
            std::cerr << "Receive queue of connection ID: " << connectionId << " is over its limit of "
                      << kMaxQueuedBytes << " bytes; closing the connection" << std::endl;
            break;
        }
        frame->dataCondition.notify_all();
    }
    frame->endReceiver(self);
}

void TestFrame::endReceiver(Receiver* self) {
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        auto it = connectionTokens.find(self->connectionId);
        if (it != connectionTokens.end() && it->second == self->token) {
            connectionTokens.erase(it);
            connections.erase(self->connectionId);
        }
        ::close(self->fd);
        self->closed = true;
    }
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        auto it = liveReceivers.find(self->connectionId);
        if (it != liveReceivers.end() && --it->second <= 0) {
            liveReceivers.erase(it);
            connectionIdEnded(self->connectionId);
        }
    }
    dataCondition.notify_all();
    std::lock_guard<std::mutex> lock(connectionsMutex);
    self->finished = true;
}

void TestFrame::connectionIdEnded(const std::string& connectionId) {
    auto bytes = queuedBytes.find(connectionId);
    if (bytes == queuedBytes.end() || bytes->second == 0) {
        dropQueued(connectionId);
        return;
    }
    endedIds.remove(connectionId);
    endedIds.push_back(connectionId);
    std::size_t held = 0;
    for (const std::string& id : endedIds) {
        held += queuedBytes[id];
    }
    while (held > kMaxEndedBytes && !endedIds.empty()) {
        const std::string oldest = endedIds.front();
        held -= std::min(held, queuedBytes[oldest]);
        dropQueued(oldest);
    }
}

void TestFrame::dropQueued(const std::string& connectionId) {
    for (auto q = dataQueues.begin(); q != dataQueues.end();) {
        std::erase_if(q->second, [&](const DataEntry& e) { return e.connectionId == connectionId; });
        q = q->second.empty() ? dataQueues.erase(q) : std::next(q);
    }
    queuedBytes.erase(connectionId);
    endedIds.remove(connectionId);
}

void TestFrame::reapFinishedReceivers() {
    std::list<Receiver> done;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        for (auto it = receivers.begin(); it != receivers.end();) {
            auto next = std::next(it);
            if (it->finished) {
                done.splice(done.end(), receivers, it);
            }
            it = next;
        }
    }
    for (Receiver& r : done) {
        if (r.thread.joinable()) {
            r.thread.join();
        }
    }
}
