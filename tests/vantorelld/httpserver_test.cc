// Tests of the HTTP server's binding: retries while the port is taken, and a stop that comes
// while it waits to retry.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpserver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/http_client.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

class httpserver_test : public testing::Test {
  protected:
    httpserver_test() {
        std::string conf = dir_.write("v.conf", "DATADIR=" + (dir_ / "data") +
                                                    "\nDEPLOYDIR=" VANT_DEPLOY_DIR
                                                    "\nLOGCFG=HTTPSERVER:DEBUG\nSyncLevel=0\n");
        ::setenv("MARLOVEN_CONFIG_FILE", conf.c_str(), 1);
        cwd_ = std::filesystem::current_path();
        app_ = std::make_unique<vantorelld>("vantorelld");
        EXPECT_EQ(app_->prepare(), std::nullopt);
        EXPECT_EQ(app_->start_storage(), std::nullopt);
    }
    ~httpserver_test() override {
        app_->final_cleanup();
        app_.reset();
        std::filesystem::current_path(cwd_);
        ::unsetenv("MARLOVEN_CONFIG_FILE");
    }
    std::string log() const { return vant_test::read_file(dir_ / "data/vantorell.log"); }

    vant_test::temp_dir dir_;
    std::filesystem::path cwd_;
    std::unique_ptr<vantorelld> app_;
};

// A test web server holds the port that the server under test is to bind.
TEST_F(httpserver_test, binding_is_retried_while_the_port_is_taken) {
    auto holder = std::make_unique<vant_test::test_http_server>();
    const int port = holder->port();
    httpserver server(*app_, 1, "127.0.0.1:" + std::to_string(port),
                      bind_policy{500, std::chrono::milliseconds(20)});
    server.start();
    ASSERT_TRUE(vant_test::eventually([&] {
        return log().find("Address in use, will retry in 0 seconds") != std::string::npos;
    }));
    EXPECT_EQ(server.port(), 0);
    holder.reset();
    ASSERT_TRUE(vant_test::eventually([&] { return server.port() == port; }));
    std::string reply = vant_test::http_exchange(port, "GET /platform/status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    server.stop();
    EXPECT_NE(log().find("binderr==0: "), std::string::npos);
}

TEST_F(httpserver_test, a_stop_ends_the_wait_between_bind_attempts) {
    vant_test::test_http_server holder;
    httpserver server(*app_, 2, "127.0.0.1:" + std::to_string(holder.port()),
                      bind_policy{10, std::chrono::minutes(10)});
    server.start();
    ASSERT_TRUE(vant_test::eventually([&] {
        return log().find("Address in use, will retry in 600 seconds") != std::string::npos;
    }));
    server.stop();  // returns without waiting out the ten minutes
    EXPECT_EQ(server.port(), 0);
}

}  // namespace
}  // namespace marloven
