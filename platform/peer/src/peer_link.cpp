#include "peer/peer_link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace peer {

std::string shown_value(const std::string& value) {
    bool text = true;
    for (unsigned char c : value) text = text && c >= 0x20 && c < 0x7f;
    if (text) return value;
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex:";
    for (unsigned char c : value) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0xf]);
    }
    return out;
}

namespace {

constexpr std::size_t kBlockOverhead = 2 * sizeof(void*);

std::size_t heap_bytes(const std::string& s) {
    const char* inside = reinterpret_cast<const char*>(&s);
    if (s.data() >= inside && s.data() < inside + sizeof s) return 0;
    return s.capacity() + 1 + kBlockOverhead;
}

}  // namespace

std::size_t PeerLink::message_cost(const Message& m) {
    // The slot with its share of the queue's index and blocks.
    return sizeof(Message) + sizeof(void*) + kBlockOverhead + heap_bytes(m.key) + heap_bytes(m.value);
}

Message PeerLink::take(std::deque<Message>::iterator it) {
    queued_bytes_ -= std::min(queued_bytes_, message_cost(*it));
    Message m = std::move(*it);
    queue_.erase(it);
    return m;
}

PeerLink::PeerLink(int fd, std::string connection_id) : fd_(fd), id_(std::move(connection_id)) {
    // Reads are driven by poll; writes go through write_all, which copes with
    // either mode. Blocking mode keeps the descriptor simple for the test.
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    // The descriptor came in across exec; nothing this test starts may keep
    // the connection open after the test's process has ended.
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
}

PeerLink::~PeerLink() { close(); }

void PeerLink::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ended_ = true;
}

bool PeerLink::send(const std::string& key, const std::string& value) {
    std::cout << "[peer " << id_ << "] send " << key << " = " << shown_value(value) << std::endl;
    if (fd_ < 0) {
        std::cerr << "[peer " << id_ << "] send of " << key << " failed: connection closed" << std::endl;
        return false;
    }
    if (!send_message(fd_, key, value)) {
        std::cerr << "[peer " << id_ << "] send of " << key << " failed, error: " << errno << std::endl;
        return false;
    }
    if (key == kReadyKey) ready_sent_ = true;
    return true;
}

bool PeerLink::pump(std::int64_t deadline) {
    if (ended_ || fd_ < 0) return false;
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            std::int64_t left = deadline - now_ms();
            if (left < 0) left = 0;
            wait = static_cast<int>(left);
        }
        pollfd pfd{fd_, POLLIN, 0};
        int r = ::poll(&pfd, 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            ended_ = true;
            return false;
        }
        if (r == 0) return false;  // deadline
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) {
            if (decoder_.mid_message()) {
                ADD_FAILURE() << "connection \"" << id_ << "\" ended inside a message";
            }
            ended_ = true;
            return false;
        }
        if (!decoder_.feed(buf, static_cast<std::size_t>(n))) {
            // The positive side broke the framing: this fails the running test.
            ADD_FAILURE() << "bad frame on connection \"" << id_ << "\": " << decoder_.error();
            ended_ = true;
        }
        while (decoder_.has_message()) {
            Message m = decoder_.pop();
            const std::size_t cost = message_cost(m);
            if (queued_bytes_ + cost > kMaxQueuedBytes) {
                ADD_FAILURE() << "connection \"" << id_ << "\": the positive side sent more than the test took ("
                              << kMaxQueuedBytes << " bytes queued); closing it";
                close();
                return false;
            }
            queued_bytes_ += cost;
            queue_.push_back(std::move(m));
        }
        return true;
    }
}

bool PeerLink::wait(const std::string& key, int timeout_ms, std::string* value) {
    const std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->key == key) {
                Message m = take(it);
                std::cout << "[peer " << id_ << "] received " << m.key << " = " << shown_value(m.value) << std::endl;
                if (value) *value = std::move(m.value);
                return true;
            }
        }
        if (ended_) {
            std::cerr << "[peer " << id_ << "] wait for " << key << ": connection ended" << std::endl;
            return false;
        }
        if (deadline >= 0 && now_ms() >= deadline) {
            std::cerr << "[peer " << id_ << "] wait for " << key << " timed out after " << timeout_ms << " ms"
                      << std::endl;
            return false;
        }
        pump(deadline);
    }
}

bool PeerLink::closed_now() {
    while (!ended_ && pump(now_ms())) {
    }
    return ended_;
}

bool PeerLink::queued(const std::string& key) {
    closed_now();
    for (const Message& m : queue_) {
        if (m.key == key) return true;
    }
    return false;
}

std::optional<Message> PeerLink::next(int timeout_ms) {
    const std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        if (!queue_.empty()) {
            Message m = take(queue_.begin());
            std::cout << "[peer " << id_ << "] received " << m.key << " = " << shown_value(m.value) << std::endl;
            return m;
        }
        if (ended_ || (deadline >= 0 && now_ms() >= deadline)) return std::nullopt;
        pump(deadline);
    }
}

bool PeerLink::wait_closed(int timeout_ms) {
    const std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        while (!queue_.empty()) {
            const Message m = take(queue_.begin());
            std::cout << "[peer " << id_ << "] left unread: " << m.key << " = " << shown_value(m.value) << std::endl;
        }
        if (ended_) return true;
        if (deadline >= 0 && now_ms() >= deadline) return false;
        pump(deadline);
    }
}

namespace {

std::unique_ptr<PeerLink>& current() {
    static std::unique_ptr<PeerLink> instance;
    return instance;
}

std::vector<NegativeTest>& registry() {
    static std::vector<NegativeTest> tests;
    return tests;
}

}  // namespace

PeerLink& link() {
    if (!current()) {
        std::cerr << "no peer connection in this process: negative tests are started by dds_peer" << std::endl;
        std::_Exit(3);
    }
    return *current();
}

bool has_link() { return static_cast<bool>(current()); }

void set_link(int fd, const std::string& connection_id) {
    current() = std::make_unique<PeerLink>(fd, connection_id);
}

void reset_link() { current().reset(); }

namespace {
int g_hold_fd = -1;
}  // namespace

void set_hold_fd(int fd) {
    g_hold_fd = fd;
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void release_hold() {
    if (g_hold_fd >= 0) {
        ::close(g_hold_fd);
        g_hold_fd = -1;
    }
}

bool register_negative_test(const char* name, const char* connection_id) {
    registry().push_back(NegativeTest{name, connection_id});
    return true;
}

const std::vector<NegativeTest>& negative_tests() { return registry(); }

}  // namespace peer
