// Tests of the portal's paths: no target, however written, reaches a file outside the document
// root. (Each kind of page is served by the running daemon in the integration tests.)
// SPDX-License-Identifier: MIT
#include "vantorelld/portal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace marloven {
namespace {

namespace fs = std::filesystem;

struct path_case {
    std::string_view target;
    portal_kind kind;
    std::string_view path;  // the path classified (empty: not checked)
};

// A document root beside a directory whose files must never be served.
class portal_path_test : public testing::TestWithParam<path_case> {
  protected:
    static void SetUpTestSuite() {
        dir_ = new vant_test::temp_dir;
        const std::string outside = *dir_ / "outside";
        dir_->write("outside/secret.html", "secret");
        dir_->write("outside/x.special", "template\nhead: ../outside/secret.html\n");
        dir_->write("root/en/index.html", "index");
        dir_->write("root/en/page.html.special", "template\nhead: h.tmpl\n");
        dir_->write("root/en/bogus.html.special", "nonsense\n");
        fs::create_symlink("en/index.html", *dir_ / "root/link-in.html");
        fs::create_symlink("../outside/secret.html", *dir_ / "root/link-out.html");
        fs::create_symlink(outside + "/secret.html", *dir_ / "root/link-abs.html");
        fs::create_symlink("../outside", *dir_ / "root/linkdir");
        fs::create_symlink("../outside/x.special", *dir_ / "root/sneaky.html.special");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static vant_test::temp_dir* dir_;
};

vant_test::temp_dir* portal_path_test::dir_ = nullptr;

TEST_P(portal_path_test, classifies_within_the_root) {
    const path_case& c = GetParam();
    const directory_beneath root(*dir_ / "root");
    ASSERT_TRUE(root.is_open());
    const std::optional<std::string> path = portal_path(c.target);
    ASSERT_TRUE(path.has_value()) << c.target;
    const portal_target t = classify_portal_path(root, *path);
    EXPECT_EQ(t.kind, c.kind) << c.target;
    if (!c.path.empty()) {
        EXPECT_EQ(t.path, c.path) << c.target;
    }
    // Whatever the kind, the path never reads a file outside.
    EXPECT_NE(root.read(t.path, 100), "secret") << c.target;
}

INSTANTIATE_TEST_SUITE_P(
    cases, portal_path_test,
    testing::Values(path_case{"/en/page.html?q=1", portal_kind::template_page, "/en/page.html"},
                    path_case{"/en/bogus.html", portal_kind::not_found, ""},
                    path_case{"/en/page.html.special", portal_kind::not_found, ""},
                    path_case{"/../outside/secret.html", portal_kind::not_found, ""},
                    path_case{"/..%2foutside%2Fsecret.html", portal_kind::not_found, ""},
                    path_case{"/link-in.html", portal_kind::plain_file, "/link-in.html"},
                    path_case{"/link-out.html", portal_kind::not_found, ""},
                    path_case{"/link-abs.html", portal_kind::not_found, ""},
                    path_case{"/linkdir/secret.html", portal_kind::not_found, ""},
                    path_case{"/sneaky.html", portal_kind::not_found, ""}));

TEST(portal_path, decodes_before_it_cleans) {
    EXPECT_EQ(portal_path("/%70rivate/x?a=%2e%2e"), "/private/x");
    EXPECT_EQ(portal_path("/public/../private/"), "/private/");
    EXPECT_EQ(portal_path("//private//x"), "/private/x");
    EXPECT_EQ(portal_path("/a%20b+c"), "/a b+c");
    EXPECT_EQ(portal_path("/a%00b"), std::nullopt);
}

}  // namespace
}  // namespace marloven
