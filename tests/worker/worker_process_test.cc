// The daemon's worker client against a scripted child that answers wrongly or not at all.
// SPDX-License-Identifier: MIT
#include "worker/worker_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "support/temp_dir.h"
#include "util/config_file.h"

namespace {

using namespace marloven;

class worker_process_test : public testing::Test {
  protected:
    worker_process_test() : config_(dir_.write("v.conf", "DEPLOYDIR=" VANT_FAKE_WORKER_DIR "\n")) {}
    ~worker_process_test() override { ::unsetenv("VANT_FAKE_MODE"); }
    // A worker talking to the scripted child; the death tests start theirs in the child.
    std::unique_ptr<worker_process> started() {
        auto worker = std::make_unique<worker_process>(config_);
        std::string err;
        EXPECT_TRUE(worker->start(err)) << err;
        return worker;
    }
    // The scripted child reads a request identifier, sends `hex` and waits for the end.
    void answer(const std::string& hex) {
        ::setenv("VANT_FAKE_MODE", ("answer " + hex).c_str(), 1);
    }

    vant_test::temp_dir dir_;
    config_file config_;
};

TEST_F(worker_process_test, reply_cut_short_raises_ipc_error) {
    // PROCESSED, status NONE, half a string length, and the end of the connection.
    ::setenv("VANT_FAKE_MODE",
             "bytes 0100"
             "0000"
             "0300",
             1);
    process_request q;
    q.url = "http://h/";
    EXPECT_THROW(started()->process(q), socket_ipc::error);
}

TEST_F(worker_process_test, quit_reads_the_quitting_reply) {
    answer("0000");
    started()->quit();
}

TEST_F(worker_process_test, reply_of_the_wrong_kind_is_fatal) {
    answer("0200");  // REPROCESSED to a PROCESS
    EXPECT_DEATH(started()->process(process_request{}), "rep.id == reply_t::PROCESSED");
    answer("0100");  // PROCESSED to a REPROCESS
    EXPECT_DEATH(started()->reprocess(reprocess_request{}), "rep.id == reply_t::REPROCESSED");
}

}  // namespace
