// Framing of the peer protocol and the socket helpers shared by the dispatcher
// and the negative tests.
//
// A connection starts with the connection id's raw bytes (no length, no
// terminator), sent by the connecting side only. Then messages follow in both
// directions, each framed as
//   u32 big-endian key length | key bytes | u32 big-endian value length | value bytes
// Keys and values are never empty; a zero length ends the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace peer {

// Largest key or value this side accepts. A larger length ends the connection.
inline constexpr std::uint32_t kMaxFieldBytes = 1u << 20;

struct Message {
    std::string key;
    std::string value;
};

// Encodes one message. Empty keys or values cannot be framed: returns nullopt.
std::optional<std::string> encode_frame(std::string_view key, std::string_view value);

// Incremental decoder. Bytes are fed as they arrive, in any split; complete
// messages are queued. Once an error is seen (zero length, length above the
// bound) the decoder stays failed and ignores further input.
class FrameDecoder {
public:
    explicit FrameDecoder(std::uint32_t max_field = kMaxFieldBytes) : max_field_(max_field) {}

    // Returns false once the stream is broken.
    bool feed(const char* data, std::size_t size);
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    // True while a message is partly received.
    bool mid_message() const { return stage_ != Stage::KeyLength || have_ != 0; }

    bool has_message() const { return !ready_.empty(); }
    Message pop();

private:
    enum class Stage { KeyLength, Key, ValueLength, Value };
    bool step_length(std::uint32_t& out);

    std::uint32_t max_field_;
    Stage stage_ = Stage::KeyLength;
    unsigned char len_buf_[4] = {};
    std::size_t have_ = 0;  // bytes of the current length field or field body
    std::uint32_t want_ = 0;
    Message current_;
    std::deque<Message> ready_;
    std::string error_;
};

// Writes all bytes, retrying on EINTR and short writes, never raising SIGPIPE.
// Waits at most timeout_ms in total for the socket to accept data (-1: no limit).
bool write_all(int fd, const void* data, std::size_t size, int timeout_ms = 10000);

// Sends one framed message. False if it cannot be framed or sent.
bool send_message(int fd, std::string_view key, std::string_view value, int timeout_ms = 10000);

// Milliseconds of the steady clock, for deadlines.
std::int64_t now_ms();

}  // namespace peer
