// Tests of document filtering in the worker: plug-ins that work, crash, hang or exit, each run in
// a child process, and the checksums of what they leave.
// SPDX-License-Identifier: MIT
#include "worker-program/document_filters.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "parse/document_parser.h"
#include "support/plugin_dir.h"

namespace marloven {
namespace {

class document_filters_test : public testing::Test {
  protected:
    document_filters_test() { dir_.add(VANT_PROBE_DIR "/probe_good.so"); }

    // The settings of one filter (id 5) of the probe plug-in (record 2) scripted by `script`;
    // the stamp changes with the script, as a stored record's does with its text.
    static filter_settings settings(const std::string& script) {
        const auto magic = static_cast<std::int32_t>(std::hash<std::string>{}(script));
        filter_settings f;
        f.docfilter_ids = {5};
        f.plugins = {{2, 1, 1, "Probe record", "", "probe_good", ""}};
        f.docfilters = {{5, magic, 1, "probe filter", "", 2, script}};
        return f;
    }
    filtered_document apply(const std::string& script, const std::string& url = "http://h.test/a") {
        return filters_.apply(settings(script), page_.fff, {url, "text/html", "utf-8"});
    }
    static parsed_document parse() {
        return parse_document({"http://h.test/a", "", "<title>T</title><p>Body words here.</p>",
                               "text/html", "", "", 0});
    }

    vant_test::temp_dir tmp_;
    vant_test::plugin_dir dir_{tmp_};
    parsed_document page_ = parse();
    document_filters filters_{{dir_.plugins(), 1}, {}};
};

struct failure_case {
    const char* script;
    const char* failure;
};
class failing_filter_test : public document_filters_test,
                            public testing::WithParamInterface<failure_case> {};

// The worker survives the plug-in: the same object filters the next document.
TEST_P(failing_filter_test, names_the_plugin_and_the_worker_carries_on) {
    filtered_document out = apply(GetParam().script);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.failure, GetParam().failure);
    EXPECT_TRUE(out.fff.empty());
    EXPECT_TRUE(apply("meta k v").ok);
}
INSTANTIATE_TEST_SUITE_P(
    cases, failing_filter_test,
    testing::Values(
        failure_case{"crash",
                     "Plug-in 'Probe record' of docfilter 5 crashed (signal 11, Segmentation "
                     "fault)"},
        failure_case{"meta a b\nhang",
                     "Plug-in 'Probe record' of docfilter 5 did not finish within 1 seconds"},
        failure_case{"exit",
                     "Plug-in 'Probe record' of docfilter 5 ended the document filter process "
                     "(exit status 7)"}));

// Metas change the document but not its core checksum (which decides UNCHANGED); words do.
struct change_case {
    const char* script;
    bool core_changed;
};
class filter_change_test : public document_filters_test,
                           public testing::WithParamInterface<change_case> {};

TEST_P(filter_change_test, core_checksum_follows_the_words_only) {
    filtered_document out = apply(GetParam().script);
    ASSERT_TRUE(out.ok) << out.failure;
    EXPECT_NE(out.fff, page_.fff);
    EXPECT_EQ(out.corecrc != page_.corecrc, GetParam().core_changed);
}
INSTANTIATE_TEST_SUITE_P(cases, filter_change_test,
                         testing::Values(change_case{"meta k v\nif /other crash", false},
                                         change_case{"upper 1", true}));

// Configuring runs in the worker itself, where nothing could end a hung call but the alarm: the
// worker ends at the time limit, and the daemon starts a new one.
TEST_F(document_filters_test, plugin_hung_while_configuring_ends_the_worker) {
    // Without the alarm the call would hang for ever: a watchdog ends the child first, with an
    // exit the test does not accept.
    EXPECT_EXIT(
        {
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::seconds(30));
                std::_Exit(3);
            }).detach();
            apply("hang-create");
        },
        testing::KilledBySignal(SIGALRM), "");
}

TEST_F(document_filters_test, filters_that_cannot_run_leave_the_document_alone) {
    filter_settings f = settings("meta k v");
    f.plugins[0].dll = "no_such_module";
    filtered_document out = filters_.apply(f, page_.fff, {"u", "", ""});
    EXPECT_TRUE(out.ok);
    EXPECT_FALSE(out.applied);
}

}  // namespace
}  // namespace marloven
