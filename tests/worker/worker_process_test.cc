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

// Issue 15: a reply of the wrong kind ended the daemon through an assertion; the worker parses
// hostile pages, so a subverted one could stop the daemon at will. It is now a broken exchange,
// which the crawl thread survives (the URL gets INTERNAL and the worker is replaced).
struct reply_kind_case {
    std::string reply;  // hex: a 16-bit little-endian reply identifier, then the fields if any
    void (*request)(worker_process&);
    bool accepted;
};

class reply_kind_test : public worker_process_test,
                        public testing::WithParamInterface<reply_kind_case> {};

TEST_P(reply_kind_test, only_the_reply_of_the_request_is_accepted) {
    answer(GetParam().reply);
    auto worker = started();
    if (GetParam().accepted) {
        EXPECT_NO_THROW(GetParam().request(*worker));
    } else {
        EXPECT_THROW(GetParam().request(*worker), socket_ipc::error);
    }
}

void process(worker_process& w) {
    w.process(process_request{});
}
void reprocess(worker_process& w) {
    w.reprocess(reprocess_request{});
}
void quit(worker_process& w) {
    w.quit();
}
INSTANTIATE_TEST_SUITE_P(kinds, reply_kind_test,
                         testing::Values(reply_kind_case{"0000", quit, true},
                                         reply_kind_case{"0200", process, false},    // REPROCESSED
                                         reply_kind_case{"0100", reprocess, false},  // PROCESSED
                                         reply_kind_case{"0100", quit, false},
                                         // REPROCESSED with its ten fields empty
                                         reply_kind_case{"02000000" + std::string(80, '0'),
                                                         reprocess, true}));

}  // namespace
