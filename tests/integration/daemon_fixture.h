// daemon_fixture.h: the installed daemon on a loopback port with a temporary data directory, and
// the configuration records a test stores before starting it.
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "db/cfgstorage.h"
#include "docstorage/docstorage.h"
#include "installation.h"
#include "records/records.h"
#include "support/http_client.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/sample_document.h"

namespace vant_test {

class daemon_fixture : public testing::Test {
  protected:
    void TearDown() override { stop_daemon(); }

    // The configuration file: the data directory, the log levels the tests read, and `extra`
    // lines.
    std::string write_config(const std::string& extra = {}) {
        return write_conf(dir_,
                          "LOGCFG=LOG:INFO HTTPSERVER:INFO API:INFO WORKERSCHEDULING:INFO "
                          "FETCHEDDOCS:INFO\n" +
                              extra);
    }

    // Starts the daemon and waits until it listens; `port_` is then the port it bound, read from
    // its log line.
    void start_daemon(const std::string& extra = {}) {
        std::string conf = write_config(extra);
        const std::size_t logged = log().size();
        daemon_ = std::make_unique<background_program>(
            deployed("vantorelld"), std::vector<std::string>{}, daemon_env(conf),
            dir_ / ("daemon" + std::to_string(++starts_)));
        ASSERT_TRUE(eventually([&] {
            if (auto port = listening_port(log(), logged)) {
                port_ = *port;
                return true;
            }
            return !daemon_->running();
        })) << daemon_->err();
        ASSERT_TRUE(daemon_->running()) << daemon_->err();
    }

    // Stops the daemon; it must end by itself with status 0.
    void stop_daemon() {
        if (daemon_) {
            EXPECT_EQ(daemon_->stop(SIGTERM), 0) << daemon_->err();
            daemon_.reset();
        }
    }

    std::string data() const { return dir_ / "data"; }
    std::string log() const { return read_file(dir_ / "data/vantorell.log"); }

    // Stores configuration records before the daemon starts (the daemon must not run).
    template <typename Record>
    int add_record(const Record& record) {
        auto [db, store] = open_store<Record>();
        return store->add(db, record);
    }
    // An archive that `reader` (by default everybody, the anonymous caller too) may read.
    int add_archive(const std::string& name, const std::string& reader = "All Users") {
        marloven::ArchiveConfiguration archive;
        archive.name = name;
        archive.acl = {{reader, marloven::access_type::read, false}};
        return add_record(archive);
    }
    template <typename Record>
    void set_record(int id, const Record& record) {
        auto [db, store] = open_store<Record>();
        ASSERT_TRUE(store->set(db, id, record));
    }

    // A configuration for the test's own connections to the data directory's database; the
    // daemon's file stays as the daemon read it.
    std::string store_config() const {
        return dir_.write("store.conf", "DATADIR=" + data() + "\nLOGCFG=\nSyncLevel=0\n");
    }
    std::vector<std::string> rows(const std::string& sql) { return query(store_config(), sql); }
    std::int64_t number(const std::string& sql) { return std::stoll(rows(sql).at(0)); }

    // Stores `source`, and `archive` of it (crawled with `auth` when given), and opens a crawl of
    // the archive with the source's seeds queued; the daemon must not run.
    std::uint32_t add_crawl(const marloven::SourceConfiguration& source,
                            marloven::ArchiveConfiguration archive = {},
                            const marloven::AuthConfiguration* auth = nullptr) {
        archive.source_id = add_record(source);
        archive.auth_id = auth != nullptr ? add_record(*auth) : 0;
        const auto arcid = static_cast<std::uint32_t>(add_record(archive));
        open_crawl(store_config(), arcid, source.seeds);
        return arcid;
    }
    // Waits until the daemon has logged the end of the archive's crawl for the `ends`th time.
    // The crawl's end is committed before the index has the last pages (they are handed over
    // after their commits, in order); the line comes once the index has committed them all.
    void wait_for_crawl_end(std::uint32_t arcid, int ends = 1) {
        const std::string ended = "Crawl of archive " + std::to_string(arcid) + " ended";
        ASSERT_TRUE(eventually([&] { return occurrences(log(), ended) >= ends; }, 60)) << log();
    }

    // Stores `doc`, whose parsed form is the sample page, as a crawl does (the daemon must not
    // run); /reindex then gives it to the index.
    void store(marloven::document_version doc) {
        doc.fff = FFF::ToBinary(*sample_page());
        auto db = open_data(store_config());
        marloven::transaction t(db);
        marloven::docstorage documents(db);
        ASSERT_TRUE(documents.store(db, doc, {}, marloven::cache_mode::full));
        t.commit();
    }

    std::string get(const std::string& target, const std::string& headers = {}) {
        return http_exchange(
            port_, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    }

    std::string post(const std::string& target, const std::string& body,
                     const std::string& headers = {}) {
        return http_exchange(port_, "POST " + target + " HTTP/1.1\r\nContent-Length: " +
                                        std::to_string(body.size()) + "\r\n" + headers + "\r\n" +
                                        body);
    }

    // The date line every fixed reply carries.
    static std::string date_pattern() {
        return "Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
               "GMT\r\n";
    }
    static bool matches(const std::string& text, const std::string& pattern) {
        return std::regex_match(text, std::regex(pattern));
    }
    // `text` as a pattern that matches exactly it.
    static std::string quote(const std::string& text) {
        return std::regex_replace(text, std::regex(R"([.?*+()\[\]{}|^$\\])"), "\\$&");
    }

    temp_dir dir_;
    int port_ = 0;
    int starts_ = 0;
    std::unique_ptr<background_program> daemon_;

  private:
    template <typename Record>
    std::pair<marloven::sqlite_connection, std::unique_ptr<marloven::cfgstorage<Record>>>
    open_store() {
        std::filesystem::create_directories(data());
        auto db = open_data(store_config());
        marloven::transaction t(db);
        auto store = std::make_unique<marloven::cfgstorage<Record>>(db);
        t.commit();
        return {std::move(db), std::move(store)};
    }
};

}  // namespace vant_test
