// worker-process-serialize.cc: the wire coding of the worker messages, field by field.
// The log lines of this file print as src\worker\worker-process-serialize: keep its name.
// SPDX-License-Identifier: MIT
#include <algorithm>

#include "ipc/socket_ipc.h"
#include "util/log.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/protocol.h"
#include "worker/validators.h"

namespace marloven {

namespace {

using socket_ipc::server_helper;

// A list count from the peer. Items are read one by one, so a large count costs memory only for
// what really arrives; a negative count can only come from a broken peer.
std::uint32_t get_count(server_helper& channel) {
    std::int32_t n = channel.get_int32();
    if (n < 0) {
        throw socket_ipc::error("Impossible list count " + std::to_string(n));
    }
    return static_cast<std::uint32_t>(n);
}

// The channel's framing for the FFF link record (a string and a 32-bit number).
class channel_links : public FFF::link_stream {
  public:
    explicit channel_links(server_helper& channel) : channel_(channel) {}
    void write_string(std::string_view s) override { channel_.put_string(s); }
    void write_number(std::uint32_t n) override { channel_.put_uint32(n); }
    std::string read_string() override { return channel_.get_string(); }
    std::uint32_t read_number() override { return channel_.get_uint32(); }

  private:
    server_helper& channel_;
};

// A string field that may be at most `max` bytes long; a longer announced length ends the
// conversation before any of its bytes are read.
std::string get_bounded_string(server_helper& channel, std::size_t max, std::string_view field) {
    std::int32_t n = channel.get_int32();
    if (n > 0 && static_cast<std::size_t>(n) > max) {
        throw socket_ipc::error("The " + std::string(field) + " field of " + std::to_string(n) +
                                " bytes is longer than " + std::to_string(max));
    }
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (!s.empty() && socket_ipc::recv_exact(channel.socket(), s.data(), s.size()) != s.size()) {
        throw socket_ipc::error("Connection closed inside the " + std::string(field) + " field");
    }
    return s;
}

template <typename T>
void reserve_some(std::vector<T>& v, std::uint32_t n) {
    v.reserve(std::min<std::uint32_t>(n, 1024));
}

void put_filters(server_helper& channel, const filter_settings& f) {
    channel.put_int32(static_cast<std::int32_t>(f.docfilter_ids.size()));
    for (std::int32_t id : f.docfilter_ids) {
        channel.put_int32(id);
    }
    channel.put_int32(static_cast<std::int32_t>(f.plugins.size()));
    for (const plugin_entry& p : f.plugins) {
        channel << p.id << p.magic << p.change << p.name << p.description << p.dll << p.dll_text;
    }
    channel.put_int32(static_cast<std::int32_t>(f.docfilters.size()));
    for (const docfilter_entry& d : f.docfilters) {
        channel << d.id << d.magic << d.change << d.name << d.description << d.plugin_id
                << d.plugin_config;
    }
    channel << f.marker_begin << f.marker_end;
}

filter_settings get_filters(server_helper& channel) {
    filter_settings f;
    std::uint32_t n = get_count(channel);
    reserve_some(f.docfilter_ids, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        f.docfilter_ids.push_back(channel.get_int32());
    }
    n = get_count(channel);
    reserve_some(f.plugins, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        plugin_entry p;
        channel >> p.id >> p.magic >> p.change >> p.name >> p.description >> p.dll >> p.dll_text;
        f.plugins.push_back(std::move(p));
    }
    n = get_count(channel);
    reserve_some(f.docfilters, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        docfilter_entry d;
        channel >> d.id >> d.magic >> d.change >> d.name >> d.description >> d.plugin_id >>
            d.plugin_config;
        f.docfilters.push_back(std::move(d));
    }
    channel >> f.marker_begin >> f.marker_end;
    return f;
}

void put_result(server_helper& channel, const crawl_result& r, const std::string& fff,
                std::uint32_t score) {
    channel << static_cast<std::int16_t>(r.status) << r.status_text << r.mime << r.charset
            << r.datetime << r.redirect << r.side_metadata << r.fffcrc << r.corecrc << fff << score;
}

void get_result(server_helper& channel, crawl_result& r, std::string& fff, std::uint32_t& score) {
    VANT_LOG(IPCMARSHAL, boring) << "Receiving status";
    r.status = static_cast<crawl_error>(channel.get_int16());
    channel >> r.status_text;
    VANT_LOG(IPCMARSHAL, boring) << "Received status " << static_cast<int>(r.status) << " '"
                                 << r.status_text << "'";
    channel >> r.mime >> r.charset;
    VANT_LOG(IPCMARSHAL, boring) << "Received mime '" << r.mime << "' '" << r.charset << "'";
    channel >> r.datetime;
    VANT_LOG(IPCMARSHAL, boring) << "Received datetime " << r.datetime;
    channel >> r.redirect;
    VANT_LOG(IPCMARSHAL, boring) << "Receiving redir " << r.redirect;
    channel >> r.side_metadata >> r.fffcrc >> r.corecrc >> fff;
    VANT_LOG(IPCMARSHAL, boring) << "Received FFF " << fff.size();
    channel >> score;
}

}  // namespace

std::int32_t depth_credit(std::uint32_t depth) {
    return depth >= 1000000u ? 0 : static_cast<std::int32_t>(1000000u - depth);
}

void send_quit(server_helper& channel) {
    server_helper::message_batch batch(channel);
    VANT_LOG(IPCMARSHAL, boring) << "Sending worker_process::request_t::QUIT";
    channel.put_int16(static_cast<std::int16_t>(request_t::QUIT));
    batch.send();
}

void send_request(server_helper& channel, const process_request& q) {
    server_helper::message_batch batch(channel);
    // Checked before the first byte goes out, so that the channel stays usable.
    if (q.extra.size() > max_extra_length) {
        throw socket_ipc::error("The extra field of " + std::to_string(q.extra.size()) +
                                " bytes is longer than " + std::to_string(max_extra_length));
    }
    VANT_LOG(IPCMARSHAL, boring) << "Sending worker_process::request_t::PROCESS";
    channel.put_int16(static_cast<std::int16_t>(request_t::PROCESS));
    channel << q.depth_credit << q.guid << q.url << q.cookies
            << static_cast<std::uint8_t>(q.login ? 1 : 0) << q.source_xml << q.auth_xml << q.extra
            << static_cast<std::uint8_t>(q.side_metadata ? 1 : 0);
    put_filters(channel, q.filters);
    batch.send();
    VANT_LOG(IPCMARSHAL, boring) << "Sent worker_process::request_t::PROCESS '" << q.url << "'";
}

void send_request(server_helper& channel, const reprocess_request& q) {
    server_helper::message_batch batch(channel);
    VANT_LOG(IPCMARSHAL, boring) << "Sending worker_process::request_t::REPROCESS";
    channel.put_int16(static_cast<std::int16_t>(request_t::REPROCESS));
    channel << q.depth_credit << q.guid << q.url << q.headers << q.content << q.mime
            << q.side_metadata;
    put_filters(channel, q.filters);
    batch.send();
    VANT_LOG(IPCMARSHAL, boring) << "Sent worker_process::request_t::REPROCESS '" << q.url << "'";
}

reply_t receive_reply_id(server_helper& channel) {
    return static_cast<reply_t>(channel.get_int16());
}

process_reply receive_process_reply(server_helper& channel) {
    VANT_LOG(IPCMARSHAL, boring) << "Receiving worker_process::request_t::PROCESSED";
    process_reply r;
    get_result(channel, r.result, r.fff, r.score);
    std::uint32_t n = get_count(channel);
    reserve_some(r.outlinks, n);
    channel_links links(channel);
    for (std::uint32_t i = 0; i < n; ++i) {
        r.outlinks.push_back(FFF::read_link(links));
    }
    VANT_LOG(IPCMARSHAL, boring) << "Received " << n << " outlinks";
    channel >> r.headers >> r.content;
    VANT_LOG(IPCMARSHAL, boring) << "Received worker_process::request_t::PROCESSED";
    return r;
}

reprocess_reply receive_reprocess_reply(server_helper& channel) {
    VANT_LOG(IPCMARSHAL, boring) << "Receiving worker_process::request_t::REPROCESSED";
    reprocess_reply r;
    get_result(channel, r.result, r.fff, r.score);
    VANT_LOG(IPCMARSHAL, boring) << "Received worker_process::request_t::REPROCESSED";
    return r;
}

void receive_quitting(server_helper&) {
    VANT_LOG(IPCMARSHAL, boring) << "Receiving worker_process::request_t::QUITTING";
    VANT_LOG(IPCMARSHAL, boring) << "Received worker_process::request_t::QUITTING";
}

request_t receive_request_id(server_helper& channel) {
    return static_cast<request_t>(channel.get_int16());
}

process_request receive_process_request(server_helper& channel) {
    process_request q;
    std::uint8_t login = 0;
    std::uint8_t side = 0;
    channel >> q.depth_credit >> q.guid >> q.url >> q.cookies >> login >> q.source_xml >>
        q.auth_xml;
    q.extra = get_bounded_string(channel, max_extra_length, "extra");
    channel >> side;
    q.login = login != 0;
    q.side_metadata = side != 0;
    q.filters = get_filters(channel);
    return q;
}

reprocess_request receive_reprocess_request(server_helper& channel) {
    reprocess_request q;
    channel >> q.depth_credit >> q.guid >> q.url >> q.headers >> q.content >> q.mime >>
        q.side_metadata;
    q.filters = get_filters(channel);
    return q;
}

void send_quitting(server_helper& channel) {
    server_helper::message_batch batch(channel);
    channel.put_int16(static_cast<std::int16_t>(reply_t::QUITTING));
    batch.send();
}

void send_reply(server_helper& channel, const process_reply& r) {
    server_helper::message_batch batch(channel);
    channel.put_int16(static_cast<std::int16_t>(reply_t::PROCESSED));
    put_result(channel, r.result, r.fff, r.score);
    channel.put_int32(static_cast<std::int32_t>(r.outlinks.size()));
    channel_links links(channel);
    for (const outlink& link : r.outlinks) {
        FFF::write_link(links, link);
    }
    channel << r.headers << r.content;
    batch.send();
}

void send_reply(server_helper& channel, const reprocess_reply& r) {
    server_helper::message_batch batch(channel);
    channel.put_int16(static_cast<std::int16_t>(reply_t::REPROCESSED));
    put_result(channel, r.result, r.fff, r.score);
    batch.send();
}

}  // namespace marloven
