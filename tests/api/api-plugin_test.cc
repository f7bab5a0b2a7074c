// Tests of the plug-in operations: the listings over the libraries of a plug-in directory, and the
// plug-in, document-filter and renderer-pipe records with their access rules.
// SPDX-License-Identifier: MIT
#include "api/api-plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <tuple>

#include "api_fixture.h"
#include "support/plugin_dir.h"

namespace marloven {
namespace {

using at = access_type;

class api_plugin_test : public api_fixture {
  protected:
    api_plugin_test() { services_.plugin_directory = plugins_dir_.plugins(); }

    int add_plugin(const std::string& module, const acl_list& acl) {
        return storage_->plugins.add(
            db_, Plugin{module + " record", "about " + module, module, "cfg", acl});
    }
    int add_filter(int plugin, const acl_list& acl) {
        return storage_->docfilters.add(db_, DocFilter{"filter", "", plugin, "params", acl});
    }
    template <typename Info>
    static std::vector<int> ids(const std::vector<Info>& infos) {
        std::vector<int> out;
        std::ranges::transform(infos, std::back_inserter(out), &Info::id);
        return out;
    }

    vant_test::plugin_dir plugins_dir_{dir_};
    const acl_list readable_ = {grant("All Users", at::read)};
};

// Two libraries: probe_good (type 3) and probe_global (type 2); plug-in records of each, of a
// library that is gone and one that ann may not read; a filter of each.
class listing_test : public api_plugin_test {
  protected:
    listing_test() {
        plugins_dir_.add(VANT_PROBE_DIR "/probe_good.so");
        plugins_dir_.add(VANT_PROBE_DIR "/probe_global.so");
        good_ = add_plugin("probe_good", {grant("ann", at::read), grant("ann", at::write)});
        global_ = add_plugin("probe_global", readable_);
        gone_ = add_plugin("gone", readable_);
        hidden_ = add_plugin("probe_good", {grant("ann", at::read, true)});
        for (int p : {good_, global_, gone_, hidden_}) {
            filters_.push_back(add_filter(p, readable_));
        }
        filters_.push_back(add_filter(good_, {}));  // a filter ann may not read
    }
    int good_ = 0, global_ = 0, gone_ = 0, hidden_ = 0;
    std::vector<int> filters_;
};

TEST_F(listing_test, libraries_are_listed_by_file_and_type) {
    std::vector<plugin_dll_info> dlls;
    ASSERT_EQ(call(EnumPluginDLLs, user("ann"), {}, dlls), "");
    EXPECT_EQ(
        dlls,
        (std::vector<plugin_dll_info>{
            {2, "GlobalProbe", "Test plug-in scripted by its filter parameters", "probe_global"},
            {3, "Probe", "Test plug-in scripted by its filter parameters", "probe_good"}}));
    ASSERT_EQ(call(EnumPluginDLLs, user("ann"), {3}, dlls), "");
    ASSERT_EQ(dlls.size(), 1u);
    EXPECT_EQ(dlls[0].file, "probe_good");
}

TEST_F(listing_test, plugins_need_read_access_and_a_loaded_library_of_the_types) {
    std::vector<plugin_info> infos;
    ASSERT_EQ(call(EnumPlugins, user("ann"), {}, true, infos), "");
    ASSERT_EQ(ids(infos), (std::vector<int>{good_, global_}));
    EXPECT_EQ(std::tie(infos[0].type, infos[0].configuration.configuration, infos[0].read_only,
                       infos[1].read_only),
              std::make_tuple(3, "cfg", false, true))
        << "full records";

    ASSERT_EQ(call(EnumPlugins, user("ann"), {3}, false, infos), "");
    ASSERT_EQ(ids(infos), std::vector<int>{good_});
    EXPECT_EQ(infos[0].configuration,
              (Plugin{"probe_good record", "about probe_good", "probe_good", "", {}}))
        << "summaries leave out configuration and access list";
    ASSERT_EQ(call(EnumPlugins, admin(), {}, false, infos), "");
    EXPECT_EQ(ids(infos), (std::vector<int>{good_, global_, hidden_}));
}

TEST_F(listing_test, filters_are_listed_when_readable_and_their_plugin_is_usable) {
    std::vector<docfilter_info> infos;
    ASSERT_EQ(call(EnumDocFilters, user("ann"), {}, false, infos), "");
    ASSERT_EQ(ids(infos), (std::vector<int>{filters_[0], filters_[1]}));
    EXPECT_EQ(infos[1].type, 2);
    EXPECT_EQ(infos[0].configuration.parameters, "") << "a summary";
    ASSERT_EQ(call(EnumDocFilters, user("ann"), {2}, true, infos), "");
    ASSERT_EQ(ids(infos), std::vector<int>{filters_[1]});
    EXPECT_EQ(infos[0].configuration.parameters, "params");
}

TEST_F(api_plugin_test, listings_without_a_plugin_directory_fail) {
    std::vector<plugin_info> plugins;
    services_.plugin_directory.reset();
    EXPECT_EQ(call(EnumPlugins, admin(), {}, false, plugins), "CannotLoadPluginDLLs");
}

TEST_F(api_plugin_test, records_are_created_by_the_crawling_root_list_with_plain_modules) {
    int id = 0;
    Plugin p{"mine", "", "myplugin", "", {grant("bob", at::read), grant("bob", at::write)}};
    set_root_acl(root_acl_crawling, {grant("bob", at::write)});
    for (const char* bad : {"../../tmp/evil", "", "a.b"}) {
        p.module = bad;
        EXPECT_EQ(call(AddPlugin, user("bob"), p, id), "ErrorInvalidEntity") << bad;
    }
    EXPECT_TRUE(storage_->plugins.ids(db_).empty());
    p.module = "my-plugin_2";
    ASSERT_EQ(call(AddPlugin, user("bob"), p, id), "");

    int closed = add_plugin("closed", {});
    DocFilter f{"f", "", closed, "", {grant("bob", at::read)}};
    int filter = 0;
    EXPECT_EQ(call(AddDocFilter, user("bob"), f, filter), "AccessViolation")
        << "the filter's plug-in must be readable";
    f.plugin_id = id;
    ASSERT_EQ(call(AddDocFilter, user("bob"), f, filter), "");

    Plugin stored;
    std::uint32_t magic = 0;
    ASSERT_EQ(call(GetPlugin, user("bob"), id, stored, magic), "");
    stored.module = "other/dir";
    EXPECT_EQ(call(SetPlugin, user("bob"), id, stored, magic), "ErrorInvalidEntity");
    stored.module = "other";
    EXPECT_EQ(call(SetPlugin, user("bob"), id, stored, magic), "");
}

TEST_F(api_plugin_test, plugins_and_filters_in_use_cannot_be_removed) {
    int plugin = add_plugin("p", readable_);
    int filter = add_filter(plugin, readable_);
    int piped = add_filter(plugin, readable_);
    SourceConfiguration source;
    source.docfilters = {filter};
    int src = storage_->sources.add(db_, source);
    RendererPluginPipe pipe;
    std::uint32_t magic = 0;
    ASSERT_EQ(call(GetRootRendererPipe, admin(), pipe, magic), "");
    pipe.docfilters = {piped};
    ASSERT_EQ(call(SetRootRendererPipe, admin(), pipe, magic), "");

    EXPECT_EQ(call(RemovePlugin, admin(), plugin), "InUse");
    EXPECT_EQ(call(RemoveDocFilter, admin(), filter), "InUse") << "a source lists it";
    EXPECT_EQ(call(RemoveDocFilter, admin(), piped), "InUse") << "the global pipe lists it";
    storage_->sources.remove(db_, src);
    ASSERT_TRUE(storage_->renderer_pipes.set(db_, 0, RendererPluginPipe{}));
    EXPECT_EQ(call(RemoveDocFilter, admin(), filter), "");
    EXPECT_EQ(call(RemoveDocFilter, admin(), piped), "");
    EXPECT_EQ(call(RemovePlugin, admin(), plugin), "");
}

TEST_F(api_plugin_test, the_global_pipe_follows_the_crawling_root_list) {
    int open = add_filter(add_plugin("p", readable_), readable_);
    int closed = add_filter(add_plugin("q", readable_), {});
    RendererPluginPipe pipe;
    std::uint32_t magic = 0;
    set_root_acl(root_acl_crawling, {grant("cy", at::read), grant("cy", at::write)});
    ASSERT_EQ(call(GetRootRendererPipe, user("cy"), pipe, magic), "");
    pipe.docfilters = {open, closed};
    EXPECT_EQ(call(SetRootRendererPipe, user("cy"), pipe, magic), "AccessViolation");
    pipe.docfilters = {open};
    EXPECT_EQ(call(SetRootRendererPipe, user("cy"), pipe, magic), "");
}

}  // namespace
}  // namespace marloven
