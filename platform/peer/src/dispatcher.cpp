#include "dispatcher.h"

#include "gtest_xml.h"
#include "process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>


namespace peer {

namespace {

void log_out(const std::string& line) { std::cout << "[dds_peer] " << line << std::endl; }
void log_err(const std::string& line) { std::cerr << "[dds_peer] " << line << std::endl; }


std::string iso_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03ld", buf, ts.tv_nsec / 1000000);
    return out;
}

// Printable form of connection bytes for log lines, cut after kLogBytes (a
// name may be as long as a whole frame).
constexpr std::size_t kLogBytes = 300;
std::string printable(std::string_view whole) {
    const std::string_view s = whole.substr(0, kLogBytes);
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (whole.size() > s.size()) out += "... (" + std::to_string(whole.size()) + " bytes)";
    return out;
}






// Writes all of data at the end of fd (opened to append); false on an error.
bool append_whole(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A name the positive side sent, as a verdict keeps it: whole up to
// kMaxUnknownNameBytes, else its start and its length.
std::string bounded_name(const std::string& name) {
    if (name.size() <= kMaxUnknownNameBytes) return name;
    return name.substr(0, kMaxUnknownNameBytes) + "... (" + std::to_string(name.size()) + " bytes)";
}

}  // namespace

PreambleState classify_preamble(std::string_view got, const std::vector<std::string>& expected) {
    bool exact = false;
    bool longer = false;
    for (const auto& id : expected) {
        if (id.size() < got.size() || id.compare(0, got.size(), got) != 0) continue;
        if (id.size() == got.size()) {
            exact = true;
        } else {
            longer = true;
        }
    }
    if (exact) return longer ? PreambleState::Ambiguous : PreambleState::Match;
    return longer ? PreambleState::NeedMore : PreambleState::NoMatch;
}

Dispatcher::Dispatcher(DispatcherOptions options) : opt_(std::move(options)) {}

Dispatcher::~Dispatcher() {
    for (auto& p : pending_) close_fd(p.fd);
    for (auto& d : deferred_) close_fd(d.fd);
    for (auto& c : controls_) close_fd(c.fd);
    for (auto& [pid, r] : running_) {
        ::kill(-pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        close_fd(r.hold_fd);
    }
    close_fd(listen_fd_);
    close_fd(wake_[0]);
    close_fd(wake_[1]);
    close_fd(record_fd_);
    if (owns_report_dir_) {
        std::error_code ec;
        std::filesystem::remove_all(opt_.report_dir, ec);
    }
}

bool Dispatcher::start(std::string* error) {
    auto fail = [&](const std::string& e) {
        if (error) *error = e;
        return false;
    };
    if (opt_.tests_binary.empty()) return fail("no tests binary given");
    std::string listing;
    std::string why;
    if (!opt_.registry.empty()) {
        for (const auto& t : opt_.registry) listing += t.name + "\t" + t.connection_id + "\n";
    } else if (!capture_output({opt_.tests_binary, "--peer_list"}, 30000, listing, why)) {
        return fail("cannot list the negative tests: " + why);
    }
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos || line.find('\t', tab + 1) != std::string::npos) continue;
        NegativeTest t{line.substr(0, tab), line.substr(tab + 1)};
        if (t.name.find('.') == std::string::npos || t.connection_id.empty()) continue;
        for (const auto& other : registry_) {
            if (other.name == t.name) return fail("negative test registered twice: " + t.name);
        }
        registry_.push_back(std::move(t));
    }

    if (opt_.report_dir.empty()) {
        char tmpl[] = "/tmp/dds_peer.XXXXXX";
        if (!::mkdtemp(tmpl)) return fail("cannot create a report directory, error: " + errno_text(errno));
        opt_.report_dir = tmpl;
        owns_report_dir_ = true;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(opt_.report_dir, ec);
        if (ec) return fail("cannot create " + opt_.report_dir + ": " + ec.message());
    }
    record_fd_ = ::open(record_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (record_fd_ < 0 || !append_whole(record_fd_, std::string(kVerdictRecordHeader) + "\n")) {
        return fail("cannot write " + record_path() + ", error: " + errno_text(errno));
    }

    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe failed, error: " + errno_text(errno));
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) return fail("socket failed, error: " + errno_text(errno));
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(opt_.port));
    if (::inet_pton(AF_INET, opt_.host.c_str(), &addr.sin_addr) != 1) return fail("invalid address: " + opt_.host);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return fail("bind to " + opt_.host + ":" + std::to_string(opt_.port) + " failed, error: " + errno_text(errno));
    }
    if (::listen(listen_fd_, 64) != 0) return fail("listen failed, error: " + errno_text(errno));
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    log_out(std::to_string(registry_.size()) + " negative tests registered; reports in " + opt_.report_dir +
            (owns_report_dir_ ? " (removed at exit)" : ""));
    log_out("listening on " + opt_.host + ":" + std::to_string(port_));
    return true;
}

void Dispatcher::request_stop() {
    if (wake_[1] >= 0) {
        char c = 's';
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    }
}

bool Dispatcher::may_be_registered(const Pending& p) const {
    char buf[kMaxIdBytes];
    const std::size_t want = p.got.size() < sizeof buf ? sizeof buf - p.got.size() : 1;
    const ssize_t n = ::recv(p.fd, buf, want, MSG_PEEK | MSG_DONTWAIT);
    const std::string got = p.got + std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    auto continues = [&](const std::string& id) {
        const std::size_t common = std::min(id.size(), got.size());
        return id.compare(0, common, got, 0, common) == 0;  // one begins the other
    };
    return continues(kControlId) ||
           std::any_of(registry_.begin(), registry_.end(), [&](const NegativeTest& t) { return continues(t.connection_id); });
}

std::vector<std::string> Dispatcher::expected_ids() const {
    std::vector<std::string> ids{kControlId};
    for (const auto& a : awaiting_) ids.push_back(a.connection_id);
    return ids;
}

void Dispatcher::accept_new() {
    for (;;) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) log_err("accept failed, error: " + errno_text(errno));
            return;
        }
        std::int64_t now = now_ms();
        if (pending_.size() >= kMaxPending && !make_room(now)) {
            log_err("too many connections on their way to an id; refusing one");
            ::close(fd);
            continue;
        }
        pending_.push_back(Pending{fd, {}, now, now});
    }
}

bool Dispatcher::make_room(std::int64_t now) {
    // What has arrived may complete some ids and free their places.
    for (std::size_t i = 0; i < pending_.size(); ++i) advance_pending(pending_[i], now);
    std::erase_if(pending_, [](const Pending& p) { return p.fd < 0; });
    if (pending_.size() < kMaxPending) return true;
    // The oldest that sent nothing at all, else the oldest whose bytes match
    // nothing, else the one whose last byte came longest ago: a part of an
    // expected id that then stalls holds no claim over a newcomer.
    auto victim = pending_.end();
    for (bool parked : {false, true}) {
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->got.empty() && it->parked == parked &&
                (victim == pending_.end() || it->accepted_at < victim->accepted_at)) {
                victim = it;
            }
        }
        if (victim != pending_.end()) break;
    }
    if (victim == pending_.end()) {
        victim = std::min_element(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
            return a.parked != b.parked ? a.parked : a.last_byte_at < b.last_byte_at;
        });
    }
    if (victim == pending_.end()) return false;
    if (evicted_++ % 100 == 0) {
        log_err("pending connections full; closing the one idle longest without an id (" +
                std::to_string(evicted_) + " so far)");
    }
    close_fd(victim->fd);
    pending_.erase(victim);
    return true;
}

void Dispatcher::advance_pending(Pending& p, std::int64_t now) {
    if (p.fd < 0) return;
    const auto expected = expected_ids();
    std::string seen;  // the byte that matched nothing, for the log
    for (;;) {
        if (p.got.size() >= kMaxIdBytes) {
            log_err("connection id longer than " + std::to_string(kMaxIdBytes) + " bytes; closing");
            close_fd(p.fd);
            return;
        }
        char c = 0;
        ssize_t n = ::recv(p.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) {
            log_err("connection closed before its id was complete (got \"" + printable(p.got) + "\")");
            close_fd(p.fd);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            log_err("receive of a connection id failed, error: " + errno_text(errno));
            close_fd(p.fd);
            return;
        }
        std::string next = p.got + c;
        PreambleState st = classify_preamble(next, expected);
        if (st == PreambleState::NoMatch) {
            PreambleState cur = classify_preamble(p.got, expected);
            if (cur == PreambleState::Match || cur == PreambleState::Ambiguous) {
                // The id is complete; the byte begins the first frame.
                finish_preamble(p, p.got);
                return;
            }
            seen.assign(1, c);
            p.parked = true;
            break;
        }
        ::recv(p.fd, &c, 1, MSG_DONTWAIT);
        p.got = std::move(next);
        p.last_byte_at = now;
        p.parked = false;
        if (st == PreambleState::Match) {
            finish_preamble(p, p.got);
            return;
        }
    }
    PreambleState st = classify_preamble(p.got, expected);
    if (st == PreambleState::Match && !p.parked) {
        finish_preamble(p, p.got);
        return;
    }
    if (st == PreambleState::Ambiguous && now - p.last_byte_at >= opt_.ambiguity_grace_ms) {
        finish_preamble(p, p.got);
        return;
    }
    // A connection refused for an unknown test's sync is one whose bytes
    // start no registered id: one that does may be a known test's whose sync
    // is still on its way, and waits for it (within the preamble time-out).
    if (p.parked && !orphans_.empty() && !may_be_registered(p)) {
        orphans_.erase(orphans_.begin());
        log_err("refusing connection \"" + printable(p.got + seen) +
                "\": the negative test named for it is unknown");
        close_fd(p.fd);
        return;
    }
    if (now - p.accepted_at >= opt_.preamble_timeout_ms) {
        log_err("no expected connection id within " + std::to_string(opt_.preamble_timeout_ms) + " ms (got \"" +
                printable(p.got + seen) + "\"); closing");
        close_fd(p.fd);
    }
}

bool Dispatcher::finish_preamble(Pending& p, const std::string& id) {
    if (id == kControlId) {
        log_out("control connection \"" + id + "\" accepted");
        controls_.push_back(Control{p.fd, FrameDecoder{}, ++controls_seen_});
        had_control_ = true;
        p.fd = -1;
        return true;
    }
    auto it = std::find_if(awaiting_.begin(), awaiting_.end(),
                           [&](const Awaiting& a) { return a.connection_id == id; });
    if (it == awaiting_.end()) {  // cannot happen: only expected ids complete
        close_fd(p.fd);
        return false;
    }
    Awaiting a = *it;
    awaiting_.erase(it);
    int fd = p.fd;
    p.fd = -1;
    deferred_.push_back(Deferred{a.name, a.connection_id, fd, now_ms(), a.control});
    start_deferred(now_ms());
    return true;
}

bool Dispatcher::any_holding() {
    bool holding = false;
    for (auto& [pid, r] : running_) {
        if (r.hold_fd < 0) continue;
        char buf[64];
        ssize_t n = ::read(r.hold_fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            close_fd(r.hold_fd);  // released: closed by the test, or by its exit
            continue;
        }
        holding = true;
    }
    return holding;
}

void Dispatcher::start_deferred(std::int64_t now) {
    if (deferred_.empty()) return;
    if (any_holding()) {
        if (now - deferred_.front().since < opt_.hold_grace_ms) return;
        for (auto& [pid, r] : running_) {
            if (r.hold_fd < 0 || r.held_too_long) continue;
            r.held_too_long = true;
            log_err(r.name + " still holds its entities " + std::to_string(opt_.hold_grace_ms) +
                    " ms after the next test's connection arrived; stopping it");
            ::kill(-pid, SIGKILL);
        }
        return;  // started once the stopped tests are reaped
    }
    std::vector<Deferred> ready;
    ready.swap(deferred_);
    for (auto& d : ready) {
        const std::int64_t waited = now - d.since;
        if (waited >= 100) {
            log_out("started " + d.name + " after " + std::to_string(waited) +
                    " ms: an earlier test still held entities");
        }
        spawn(d.name, d.connection_id, d.fd, d.control);
    }
}

void Dispatcher::read_control(Control& c) {
    for (;;) {
        char buf[4096];
        ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            log_err("control connection receive failed, error: " + errno_text(errno) + "; closing");
            close_fd(c.fd);
            return;
        }
        if (n == 0) {
            if (c.decoder.mid_message()) log_err("control connection ended inside a message");
            log_out("control connection closed");
            close_fd(c.fd);
            return;
        }
        bool ok = c.decoder.feed(buf, static_cast<std::size_t>(n));
        while (c.decoder.has_message()) {
            Message m = c.decoder.pop();
            if (m.key == "sync") {
                on_sync(m.value, c.id);
            } else {
                log_out("ignoring key \"" + printable(m.key) + "\" on the control connection");
            }
        }
        if (!ok) {
            log_err("control connection: bad frame (" + c.decoder.error() + "); closing");
            close_fd(c.fd);
            return;
        }
    }
}

void Dispatcher::on_sync(const std::string& name, int control) {
    log_out("sync " + printable(name));
    auto it = std::find_if(registry_.begin(), registry_.end(), [&](const NegativeTest& t) { return t.name == name; });
    if (it == registry_.end()) {
        if (orphans_.size() < kMaxPending) orphans_.push_back(now_ms());
        if (unknown_listed_ < kMaxUnknownVerdicts) {
            ++unknown_listed_;
            record(Verdict{bounded_name(name), "", "FAILED", "unknown negative test: no test of that name is registered",
                           0, iso_now()});
        } else if (unknown_unlisted_++ == 0) {
            first_unlisted_ = bounded_name(name);
            log_err("more than " + std::to_string(kMaxUnknownVerdicts) +
                    " syncs named unknown tests; the rest are counted in one verdict");
        }
        return;
    }
    for (const auto& a : awaiting_) {
        if (a.connection_id == it->connection_id) {
            record(Verdict{a.name, a.connection_id, "FAILED",
                           "superseded by a new sync before its connection arrived", 0, a.sync_timestamp});
        }
    }
    std::erase_if(awaiting_, [&](const Awaiting& a) { return a.connection_id == it->connection_id; });
    awaiting_.push_back(Awaiting{it->name, it->connection_id, now_ms(), iso_now(), control});
}

void Dispatcher::on_control_closed(int control) {
    const std::int64_t now = now_ms();
    std::erase_if(awaiting_, [&](const Awaiting& a) {
        if (a.control != control) return false;
        record(Verdict{a.name, a.connection_id, "FAILED",
                       "its positive side closed the control connection before the test's connection arrived", 0,
                       a.sync_timestamp});
        return true;
    });
    std::erase_if(deferred_, [&](Deferred& d) {
        if (d.control != control) return false;
        record(Verdict{d.name, d.connection_id, "FAILED",
                       "its positive side went before the test could start (an earlier test held its entities)", 0,
                       iso_now()});
        close_fd(d.fd);
        return true;
    });
    for (auto& [pid, r] : running_) {
        if (r.control == control && r.gone_at < 0) r.gone_at = now;
    }
}

void Dispatcher::spawn(const std::string& name, const std::string& connection_id, int fd, int control) {
    ++sequence_;
    const std::string xml = opt_.report_dir + "/" + std::to_string(sequence_) + "-" + name + ".xml";
    std::vector<std::string> args{opt_.tests_binary, "--gtest_filter=" + name, "--gtest_output=xml:" + xml,
                                  "--peer_fd=3", "--peer_connection_id=" + connection_id,
                                  // Its own bound too, should this dispatcher be killed.
                                  "--peer_max_seconds=" + std::to_string(opt_.test_timeout_s + 10)};
    const std::string timestamp = iso_now();
    TestProcess t = start_test_process(std::move(args), fd);
    if (t.hold_failed) log_err(t.hold_error + "; " + name + " runs without a hold pipe");
    if (t.pid < 0) {
        record(Verdict{name, connection_id, "FAILED", t.error, 0, timestamp});
        return;
    }
    const pid_t pid = t.pid;
    Running& run = running_[pid] = Running{name, connection_id, xml, now_ms(), timestamp, t.hold_fd, control};
    run.sequence = sequence_;
    run.report = std::filesystem::path(xml).filename();
    log_out("running " + name + " on connection \"" + connection_id + "\" (pid " + std::to_string(pid) + ")");
}

void Dispatcher::reap(bool block_until_all, std::int64_t deadline) {
    for (;;) {
        for (auto it = running_.begin(); it != running_.end();) {
            int status = 0;
            pid_t r = ::waitpid(it->first, &status, WNOHANG);
            if (r == 0 || (r < 0 && errno == EINTR)) {
                ++it;
                continue;
            }
            const Running& run = it->second;
            Verdict v{run.name, run.connection_id, "", "", (now_ms() - run.started_ms) / 1000.0, run.timestamp,
                      run.sequence, run.report};
            XmlResult xml = read_gtest_xml(run.xml_path);
            if (r < 0) {
                v.status = "FAILED";
                v.message = "lost track of the test process, error: " + errno_text(errno);
            } else if (run.held_too_long) {
                v.status = "FAILED";
                v.message = "still held its entities " + std::to_string(opt_.hold_grace_ms) +
                            " ms after the next test's connection arrived; stopped";
            } else if (run.outlived_positive) {
                v.status = "FAILED";
                v.message = "still running " + std::to_string(opt_.gone_grace_ms) +
                            " ms after its positive side went (its control connection closed); stopped";
            } else if (run.timed_out) {
                v.status = "TIMEOUT";
                v.message = "did not end within " + std::to_string(opt_.test_timeout_s) + " s";
            } else if (run.aborted) {
                v.status = "ABORTED";
                v.message = "still running when the peer stopped";
            } else if (WIFSIGNALED(status)) {
                v.status = "CRASHED";
                v.message = "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
                            strsignal(WTERMSIG(status)) + ")";
            } else if (WEXITSTATUS(status) == 127) {
                v.status = "FAILED";
                v.message = "could not execute " + opt_.tests_binary;
            } else if (WEXITSTATUS(status) == kExitNeverReady) {
                v.status = "FAILED";
                v.message = std::string("the test never sent \"") + kReadyKey + "\" on its connection";
            } else if (xml.completed == 0) {
                v.status = "FAILED";
                v.message = "the test did not run to its end (its report holds no completed test); exit status " +
                            std::to_string(WEXITSTATUS(status));
            } else if (WEXITSTATUS(status) == 0 && xml.failed == 0) {
                v.status = "PASSED";
            } else {
                v.status = "FAILED";
                v.message = "exit status " + std::to_string(WEXITSTATUS(status));
            }
            if (!v.passed() && !xml.messages.empty()) v.message += "\n" + xml.messages;
            close_fd(it->second.hold_fd);
            it = running_.erase(it);
            record(std::move(v));
        }
        if (!block_until_all || running_.empty() || now_ms() >= deadline) return;
        ::usleep(20000);
    }
}

void Dispatcher::record(Verdict v) {
    // On record before anything else says it: should the peer die, the
    // record holds every verdict its log shows.
    if (record_fd_ >= 0 && !append_whole(record_fd_, verdict_record_line(v))) {
        log_err("cannot append to " + record_path() + ", error: " + errno_text(errno) +
                "; the verdicts from here on are only in the JUnit report");
        close_fd(record_fd_);
    }
    if (v.passed()) {
        log_out("PASSED " + v.name + " (" + seconds_text(v.seconds) + " s)");
    } else {
        std::string first = v.message.substr(0, v.message.find('\n'));
        log_out(v.status + " " + printable(v.name) + ": " + first);
    }
    verdicts_.push_back(std::move(v));
}

void Dispatcher::expire(std::int64_t now) {
    for (auto it = awaiting_.begin(); it != awaiting_.end();) {
        if (now - it->sync_at < opt_.connect_timeout_ms) {
            ++it;
            continue;
        }
        record(Verdict{it->name, it->connection_id, "FAILED",
                       "its connection \"" + it->connection_id + "\" did not arrive within " +
                           std::to_string(opt_.connect_timeout_ms) + " ms of the sync",
                       0, it->sync_timestamp});
        it = awaiting_.erase(it);
    }
    std::erase_if(orphans_, [&](std::int64_t t) { return now - t >= opt_.connect_timeout_ms; });
    for (auto& [pid, r] : running_) {
        if (r.gone_at >= 0 && !r.outlived_positive && now - r.gone_at >= opt_.gone_grace_ms) {
            r.outlived_positive = true;
            log_err(r.name + " still runs " + std::to_string(opt_.gone_grace_ms) +
                    " ms after its positive side went; stopping it");
            ::kill(-pid, SIGKILL);
        }
        if (!r.timed_out && now - r.started_ms >= std::int64_t(opt_.test_timeout_s) * 1000) {
            r.timed_out = true;
            ::kill(-pid, SIGKILL);
        }
    }
}

int Dispatcher::run() {
    started_ms_ = now_ms();
    std::string reason;
    int drain = opt_.drain_ms;
    while (!stopping_) {
        std::int64_t now = now_ms();
        if (now - started_ms_ >= std::int64_t(opt_.max_seconds) * 1000) {
            reason = "lifetime of " + std::to_string(opt_.max_seconds) + " s reached";
            drain = 0;
            break;
        }
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        for (const auto& c : controls_) fds.push_back({c.fd, POLLIN, 0});
        for (const auto& p : pending_) {
            if (!p.parked) fds.push_back({p.fd, POLLIN, 0});
        }
        if (!deferred_.empty()) {
            for (const auto& [pid, r] : running_) {
                if (r.hold_fd >= 0) fds.push_back({r.hold_fd, POLLIN, 0});
            }
        }
        int r = ::poll(fds.data(), fds.size(), 100);
        if (r < 0 && errno != EINTR) {
            reason = "poll failed, error: " + errno_text(errno);
            drain = 0;
            break;
        }
        if (r > 0 && (fds[0].revents & POLLIN)) {
            reason = "stop requested";
            drain = std::min(drain, 3000);
            break;
        }
        for (auto& c : controls_) read_control(c);
        for (const auto& c : controls_) {
            if (c.fd < 0) on_control_closed(c.id);
        }
        std::erase_if(controls_, [](const Control& c) { return c.fd < 0; });
        if (r > 0 && (fds[1].revents & POLLIN)) accept_new();
        now = now_ms();
        // advance_pending may hand connections over; iterate by index over a stable vector.
        for (std::size_t i = 0; i < pending_.size(); ++i) advance_pending(pending_[i], now);
        std::erase_if(pending_, [](const Pending& p) { return p.fd < 0; });
        reap(false, 0);
        start_deferred(now_ms());
        expire(now_ms());
        if (opt_.exit_when_control_closes && had_control_ && controls_.empty()) {
            reason = "control connection closed";
            break;
        }
    }
    shutdown(reason, drain);
    return std::all_of(verdicts_.begin(), verdicts_.end(), [](const Verdict& v) { return v.passed(); }) ? 0 : 1;
}

void Dispatcher::shutdown(const std::string& reason, int drain_ms) {
    stopping_ = true;
    log_out("stopping: " + reason);
    close_fd(listen_fd_);
    for (auto& p : pending_) close_fd(p.fd);
    pending_.clear();
    for (auto& c : controls_) close_fd(c.fd);
    controls_.clear();
    for (const auto& a : awaiting_) {
        record(Verdict{a.name, a.connection_id, "FAILED", "the peer stopped before its connection arrived", 0,
                       a.sync_timestamp});
    }
    awaiting_.clear();
    for (auto& d : deferred_) {
        record(Verdict{d.name, d.connection_id, "FAILED",
                       "the peer stopped while an earlier test still held its entities", 0, iso_now()});
        close_fd(d.fd);
    }
    deferred_.clear();
    if (!running_.empty()) {
        // Tests whose positive side has gone get no longer than they would
        // while the peer kept running.
        if (std::all_of(running_.begin(), running_.end(), [](const auto& e) { return e.second.gone_at >= 0; })) {
            drain_ms = std::min(drain_ms, opt_.gone_grace_ms);
        }
        log_out("waiting up to " + std::to_string(drain_ms) + " ms for " + std::to_string(running_.size()) +
                " running test(s)");
        reap(true, now_ms() + drain_ms);
    }
    for (auto& [pid, r] : running_) {
        (r.gone_at >= 0 ? r.outlived_positive : r.aborted) = true;
        ::kill(-pid, SIGKILL);
    }
    reap(true, now_ms() + 10000);
    if (unknown_unlisted_ > 0) {
        record(Verdict{first_unlisted_, "", "FAILED",
                       "unknown negative test, and " + std::to_string(unknown_unlisted_ - 1) +
                           " more syncs after it named tests that are not registered (after " +
                           std::to_string(kMaxUnknownVerdicts) + " such verdicts, the rest are counted here)",
                       0, iso_now()});
    }
    print_summary();
    if (!opt_.junit_path.empty() && !write_junit(opt_.junit_path)) {
        log_err("cannot write " + opt_.junit_path);
    }
}

void Dispatcher::print_summary() const {
    std::size_t passed = std::count_if(verdicts_.begin(), verdicts_.end(), [](const Verdict& v) { return v.passed(); });
    log_out("summary: " + std::to_string(verdicts_.size()) + " negative test(s), " + std::to_string(passed) +
            " passed, " + std::to_string(verdicts_.size() - passed) + " failed");
    for (const auto& v : verdicts_) {
        if (!v.passed()) log_out("  " + v.status + " " + printable(v.name));
    }
}

bool Dispatcher::write_junit(const std::string& path) const { return peer::write_junit(verdicts_, path); }

std::string Dispatcher::record_path() const { return opt_.report_dir + "/" + kVerdictRecord; }

}  // namespace peer
