#include "peer/wire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace peer {

namespace {

void put_be32(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>((v >> 24) & 0xff));
    out.push_back(static_cast<char>((v >> 16) & 0xff));
    out.push_back(static_cast<char>((v >> 8) & 0xff));
    out.push_back(static_cast<char>(v & 0xff));
}

}  // namespace

std::optional<std::string> encode_frame(std::string_view key, std::string_view value) {
    if (key.empty() || value.empty() || key.size() > 0xffffffffu || value.size() > 0xffffffffu) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(8 + key.size() + value.size());
    put_be32(out, static_cast<std::uint32_t>(key.size()));
    out.append(key);
    put_be32(out, static_cast<std::uint32_t>(value.size()));
    out.append(value);
    return out;
}

bool FrameDecoder::step_length(std::uint32_t& out) {
    out = (std::uint32_t(len_buf_[0]) << 24) | (std::uint32_t(len_buf_[1]) << 16) |
          (std::uint32_t(len_buf_[2]) << 8) | std::uint32_t(len_buf_[3]);
    if (out == 0) {
        error_ = "zero length";
        return false;
    }
    if (out > max_field_) {
        error_ = "length " + std::to_string(out) + " exceeds the limit of " + std::to_string(max_field_);
        return false;
    }
    return true;
}

bool FrameDecoder::feed(const char* data, std::size_t size) {
    if (failed()) return false;
    std::size_t pos = 0;
    while (pos < size) {
        if (stage_ == Stage::KeyLength || stage_ == Stage::ValueLength) {
            while (pos < size && have_ < 4) len_buf_[have_++] = static_cast<unsigned char>(data[pos++]);
            if (have_ < 4) break;
            std::uint32_t len = 0;
            if (!step_length(len)) return false;
            want_ = len;
            have_ = 0;
            stage_ = stage_ == Stage::KeyLength ? Stage::Key : Stage::Value;
            continue;
        }
        std::string& field = stage_ == Stage::Key ? current_.key : current_.value;
        std::size_t take = std::min<std::size_t>(want_ - have_, size - pos);
        field.append(data + pos, take);
        pos += take;
        have_ += take;
        if (have_ < want_) break;
        have_ = 0;
        if (stage_ == Stage::Key) {
            stage_ = Stage::ValueLength;
        } else {
            ready_.push_back(std::move(current_));
            current_ = Message{};
            stage_ = Stage::KeyLength;
        }
    }
    return true;
}

Message FrameDecoder::pop() {
    Message m = std::move(ready_.front());
    ready_.pop_front();
    return m;
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool write_all(int fd, const void* data, std::size_t size, int timeout_ms) {
    const char* p = static_cast<const char*>(data);
    const std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int wait = -1;
            if (deadline >= 0) {
                std::int64_t left = deadline - now_ms();
                if (left <= 0) {
                    errno = ETIMEDOUT;
                    return false;
                }
                wait = static_cast<int>(left);
            }
            pollfd pfd{fd, POLLOUT, 0};
            int r = ::poll(&pfd, 1, wait);
            if (r < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool send_message(int fd, std::string_view key, std::string_view value, int timeout_ms) {
    auto frame = encode_frame(key, value);
    if (!frame) {
        errno = EINVAL;
        return false;
    }
    return write_all(fd, frame->data(), frame->size(), timeout_ms);
}

}  // namespace peer
