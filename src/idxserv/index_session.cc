// index_session.cc: request loop of the index server.
// SPDX-License-Identifier: MIT
#include "idxserv/index_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "idxserv/complaints.h"
#include "idxserv/index_engine.h"
#include "idxstorage/index_protocol.h"

namespace marloven {

namespace proto = index_protocol;

namespace {

// The connection ended (orderly or not): the session ends.
struct connection_closed {
    std::string reason;
};

// A request broke a limit or the framing: it is answered once and the conversation ends, since
// nothing after it can be trusted to start a request.
struct broken_conversation {
    std::string reason;
};

class wire {
  public:
    wire(int fd, const std::atomic<bool>* stop, const sigset_t* wait_mask)
        : fd_(fd), stop_(stop), wait_mask_(wait_mask), in_(std::size_t{64} * 1024) {}

    std::int32_t get_int32() {
        unsigned char b[4];
        read_exact(b, 4);
        return proto::decode_number(b);
    }

    // A string of at most `limit` bytes; a longer one (or a negative length) breaks the
    // conversation before any of its bytes is read.
    std::string get_string(std::size_t limit) {
        std::int32_t length = get_int32();
        if (length < 0 || static_cast<std::size_t>(length) > limit) {
            throw broken_conversation{"String of " + std::to_string(length) + " bytes (limit " +
                                      std::to_string(limit) + ")"};
        }
        auto n = static_cast<std::size_t>(length);
        // Grown as the bytes arrive: a length announced by a peer that then stops sending costs
        // no more memory than what came.
        constexpr std::size_t piece = 1 << 20;
        std::string s;
        while (s.size() < n) {
            std::size_t take = std::min(piece, n - s.size());
            std::size_t old = s.size();
            s.resize(old + take);
            read_exact(s.data() + old, take);
        }
        return s;
    }

    std::int32_t get_count(std::int32_t limit, const char* what) {
        std::int32_t n = get_int32();
        if (n < 0 || n > limit) {
            throw broken_conversation{std::string("Bad ") + what + " count " + std::to_string(n) +
                                      " (limit " + std::to_string(limit) + ")"};
        }
        return n;
    }

    void put_int32(std::int32_t v) { proto::append_number(out_, v); }

    void put_string(const std::string& s) {
        put_int32(static_cast<std::int32_t>(s.size()));
        out_ += s;
    }

    void flush() {
        std::size_t sent = 0;
        while (sent < out_.size()) {
            ssize_t r = ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
            if (r > 0) {
                sent += static_cast<std::size_t>(r);
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else {
                out_.clear();
                throw connection_closed{std::string("Send failed: ") + std::strerror(errno)};
            }
        }
        out_.clear();
    }

  private:
    void fill() {
        // Replies go out before the server waits, so a client waiting for them is never stuck.
        flush();
        if (begin_ == end_) {
            begin_ = end_ = 0;
        }
        while (true) {
            if (stop_ != nullptr && stop_->load()) {
                throw connection_closed{"Stopped by signal"};
            }
            // Waiting here with the stop signals unblocked: one that arrives while the server
            // works stays pending until this wait, which it then interrupts.
            pollfd p{fd_, POLLIN, 0};
            if (::ppoll(&p, 1, nullptr, wait_mask_) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw connection_closed{std::string("Poll failed: ") + std::strerror(errno)};
            }
            ssize_t r = ::recv(fd_, in_.data() + end_, in_.size() - end_, 0);
            if (r > 0) {
                end_ += static_cast<std::size_t>(r);
                return;
            }
            if (r == 0) {
                throw connection_closed{"Connection closed"};
            }
            if (errno == EINTR) {
                continue;
            }
            throw connection_closed{std::string("Receive failed: ") + std::strerror(errno)};
        }
    }

    void read_exact(void* buffer, std::size_t n) {
        auto* p = static_cast<char*>(buffer);
        while (n > 0) {
            if (begin_ == end_) {
                begin_ = end_ = 0;
                fill();
            }
            std::size_t take = std::min(n, end_ - begin_);
            std::memcpy(p, in_.data() + begin_, take);
            begin_ += take;
            p += take;
            n -= take;
        }
    }

    int fd_;
    const std::atomic<bool>* stop_;
    const sigset_t* wait_mask_;
    std::vector<char> in_;
    std::size_t begin_ = 0, end_ = 0;
    std::string out_;
};

bool flag(std::int32_t v) {
    return v != 0;
}

class session {
  public:
    session(int fd, index_engine& engine, const std::atomic<bool>* stop, const sigset_t* wait_mask)
        : fd_(fd), wire_(fd, stop, wait_mask), engine_(engine) {}

    session_result run() {
        session_result result;
        try {
            while (true) {
                std::int32_t cmd = wire_.get_int32();
                ++result.requests;
                if (cmd == static_cast<std::int32_t>(proto::command::quit)) {
                    result.quit = true;
                    result.end_reason = "Quit";
                    break;
                }
                bool ok = true;
                try {
                    ok = dispatch(cmd);
                } catch (const broken_conversation& b) {
                    complain(cmd, b.reason);
                    answer_failure(cmd);
                    ++result.failures;
                    result.broken = true;
                    result.end_reason = b.reason;
                    break;
                }
                if (!ok) {
                    ++result.failures;
                }
            }
        } catch (const connection_closed& c) {
            result.end_reason = c.reason;
        }
        if (!engine_.commit()) {
            std::cerr << "idxserv: " << engine_.last_error() << std::endl;
        }
        try {
            wire_.flush();
        } catch (const connection_closed&) {
        }
        if (result.broken) {
            // The peer learns at once that nothing more is read, whoever owns the socket.
            ::shutdown(fd_, SHUT_RDWR);
        }
        return result;
    }

  private:
    // A client that sends garbage must not flood the daemon's standard error, nor silence the
    // reports of later failures: at most 100 a minute.
    void complain(std::int32_t cmd, const std::string& what) {
        complaints_.report(std::cerr, "idxserv: command " + std::to_string(cmd) + ": " + what);
    }
    complaint_limiter complaints_{100, 60};

    // Command 12 answers a status and a string; every other command one number.
    void answer_failure(std::int32_t cmd) {
        wire_.put_int32(-1);
        if (cmd == static_cast<std::int32_t>(proto::command::stored_text)) {
            wire_.put_string({});
        }
    }

    bool reply(bool ok) {
        if (!ok) {
            complain(current_, engine_.last_error());
        }
        wire_.put_int32(ok ? 0 : -1);
        return ok;
    }

    bool dispatch(std::int32_t cmd) {
        current_ = cmd;
        switch (static_cast<proto::command>(cmd)) {
            case proto::command::commit:
                return reply(engine_.commit());
            case proto::command::begin_document:
                fields_ = 0;
                return reply(engine_.begin_document());
            case proto::command::text_field: {
                std::string name = wire_.get_string(proto::max_name_length);
                std::string value = wire_.get_string(proto::max_value_length);
                std::int32_t stored = wire_.get_int32();
                std::int32_t searchable = wire_.get_int32();
                std::int32_t tokenized = wire_.get_int32();
                count_field();
                return reply(engine_.add_text_field(name, value, flag(stored), flag(searchable),
                                                    flag(tokenized)));
            }
            case proto::command::number_field: {
                std::string name = wire_.get_string(proto::max_name_length);
                auto value = static_cast<std::uint32_t>(wire_.get_int32());
                std::int32_t stored = wire_.get_int32();
                std::int32_t searchable = wire_.get_int32();
                wire_.get_int32();  // tokenized: a number has no tokens
                count_field();
                return reply(engine_.add_number_field(name, value, flag(stored), flag(searchable)));
            }
            case proto::command::end_document:
                return reply(engine_.end_document());
            case proto::command::remove: {
                auto terms = read_terms();
                auto removed = engine_.remove(terms);
                if (!removed) {
                    return reply(false);
                }
                wire_.put_int32(*removed);
                return true;
            }
            case proto::command::query: {
                query_request q = read_query();
                std::int32_t hits = engine_.run_query(q);
                if (hits < 0) {
                    return reply(false);
                }
                wire_.put_int32(hits);
                return true;
            }
            case proto::command::hit_count:
                wire_.put_int32(engine_.hit_count());
                return true;
            case proto::command::select_hit:
                return reply(engine_.select_hit(wire_.get_int32()));
            case proto::command::hit_score: {
                auto score = engine_.hit_score();
                wire_.put_int32(score ? *score : -1);
                return score.has_value();
            }
            case proto::command::stored_text: {
                std::string field = wire_.get_string(proto::max_name_length);
                auto text = engine_.stored_text(field);
                wire_.put_int32(text ? 0 : -1);
                wire_.put_string(text ? *text : std::string());
                return text.has_value();
            }
            case proto::command::stored_number: {
                std::string field = wire_.get_string(proto::max_name_length);
                auto number = engine_.stored_number(field);
                wire_.put_int32(number ? static_cast<std::int32_t>(*number) : -1);
                return number.has_value();
            }
            case proto::command::optimise:
                return reply(engine_.compact());
            case proto::command::quit:
                break;
        }
        // Its length is unknown, so nothing after it can be read as a request.
        throw broken_conversation{"Unknown command"};
    }

    void count_field() {
        if (++fields_ > proto::max_fields_per_document) {
            throw broken_conversation{"More than " +
                                      std::to_string(proto::max_fields_per_document) +
                                      " fields in one document"};
        }
    }

    // The query request of command 7.
    query_request read_query() {
        query_request q;
        q.terms = read_terms();
        std::int32_t pairs = wire_.get_count(proto::max_weight_pairs, "weight pair");
        for (std::int32_t i = 0; i < pairs; ++i) {
            std::int32_t slice = wire_.get_int32();
            std::int32_t weight = wire_.get_int32();
            q.weights.emplace_back(slice, weight);
        }
        q.range_field = wire_.get_string(proto::max_name_length);
        q.min_time = static_cast<std::uint32_t>(wire_.get_int32());
        q.max_time = static_cast<std::uint32_t>(wire_.get_int32());
        q.sort_field = wire_.get_string(proto::max_name_length);
        q.descending = wire_.get_int32() == 1;
        q.score_field = wire_.get_string(proto::max_name_length);
        q.min_score = wire_.get_string(proto::max_name_length);
        return q;
    }

    std::vector<wire_term> read_terms() {
        std::int32_t n = wire_.get_count(proto::max_terms, "term");
        std::vector<wire_term> terms(static_cast<std::size_t>(n));
        for (wire_term& t : terms) {
            t.flag = wire_.get_int32();
            t.value = wire_.get_string(proto::max_value_length);
            t.field = wire_.get_string(proto::max_name_length);
        }
        return terms;
    }

    int fd_;
    wire wire_;
    index_engine& engine_;
    std::int32_t current_ = 0;
    std::int32_t fields_ = 0;
};

}  // namespace

session_result serve_connection(int fd, index_engine& engine, const std::atomic<bool>* stop,
                                const sigset_t* wait_mask) {
    return session(fd, engine, stop, wait_mask).run();
}

}  // namespace marloven
