// daemon_fixture.h: the installed daemon on a loopback port with a temporary data directory, and
// the configuration records a test stores before starting it.
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "db/cfgstorage.h"
#include "installation.h"
#include "records/records.h"
#include "support/http_client.h"

namespace vant_test {

class daemon_fixture : public testing::Test {
  protected:
    void TearDown() override { stop_daemon(); }

    // The configuration file: the data directory, the build's deployment, port 0 (the daemon
    // binds a port the system chooses, so no other process can take it between choosing and
    // binding), and `extra` lines.
    std::string write_config(const std::string& extra = {}) {
        return write_conf(dir_, "DEPLOYDIR=" + deploy_ +
                                    "\nLOGCFG=LOG:INFO HTTPSERVER:INFO API:INFO\n"
                                    "HTTP_PORT=127.0.0.1:0\n" +
                                    extra);
    }

    // Starts the daemon and waits until it listens; `port_` is then the port it bound, read from
    // its log line.
    void start_daemon(const std::string& extra = {}) {
        std::string conf = write_config(extra);
        const std::size_t logged = log().size();
        daemon_ = start_daemon_program(conf, dir_ / ("daemon" + std::to_string(++starts_)));
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
    template <typename Record>
    void set_record(int id, const Record& record) {
        auto [db, store] = open_store<Record>();
        ASSERT_TRUE(store->set(db, id, record));
    }

    std::string get(const std::string& target, const std::string& headers = {}) {
        return http_exchange(
            port_, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    }

    // The date line every fixed reply carries.
    static std::string date_pattern() {
        return "Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
               "GMT\r\n";
    }
    // The pattern of a reply that has only a status line, its type and date.
    static std::string reason_reply(const std::string& status) {
        return "HTTP/1\\.1 " + status + "\r\nContent-Type: text/html\r\n" + date_pattern() + "\r\n";
    }
    static bool matches(const std::string& text, const std::string& pattern) {
        return std::regex_match(text, std::regex(pattern));
    }

    temp_dir dir_;
    std::string deploy_ = VANT_DEPLOY_DIR;
    int port_ = 0;
    int starts_ = 0;
    std::unique_ptr<background_program> daemon_;

  private:
    template <typename Record>
    std::pair<marloven::sqlite_connection, std::unique_ptr<marloven::cfgstorage<Record>>>
    open_store() {
        std::filesystem::create_directories(data());
        auto db = open_data(write_config());
        marloven::transaction t(db);
        auto store = std::make_unique<marloven::cfgstorage<Record>>(db);
        t.commit();
        return {std::move(db), std::move(store)};
    }
};

}  // namespace vant_test
