// The installed daemon's /export, /import, /backup and /restore commands, checked against the
// database files they leave.
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "installation.h"
#include "records/records.h"

namespace marloven {
namespace {

namespace fs = std::filesystem;
using rows = std::vector<std::string>;

class storage_commands_test : public testing::Test {
  protected:
    // The configuration of the data directory `data` below the test directory.
    std::string conf(const std::string& data) {
        return vant_test::write_conf(dir_, "LOGCFG=LOG:INFO API:INFO\n", data);
    }
    vant_test::run_result run(const std::string& data, const std::vector<std::string>& args) {
        return vant_test::run_daemon(conf(data), args);
    }
    // Runs a command that must succeed.
    std::string ok(const std::string& data, const std::vector<std::string>& args) {
        auto r = run(data, args);
        EXPECT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
        return r.out;
    }
    // Runs a command that must fail with `message` and write nothing to standard output.
    void fails(const std::string& data, const std::vector<std::string>& args,
               const std::string& message) {
        auto r = run(data, args);
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_THAT(r.err, testing::HasSubstr(message));
        EXPECT_EQ(r.out, "") << args[0];
    }
    // Runs the daemon through the shell, from the directory `cwd` and with umask 000.
    vant_test::run_result run_in(const std::string& cwd, const std::vector<std::string>& args) {
        std::vector<std::string> sh = {"-c",
                                       "cd \"$1\" && umask 000 && shift && exec \"$0\" \"$@\"",
                                       vant_test::deployed("vantorelld"), cwd};
        sh.insert(sh.end(), args.begin(), args.end());
        return vant_test::run_program("/bin/sh", sh, vant_test::daemon_env(conf("data")));
    }
    sqlite_connection open(const std::string& data) { return vant_test::open_data(conf(data)); }
    rows query(const std::string& data, const char* sql) {
        return vant_test::query(conf(data), sql);
    }
    // The tables a backup holds, each as its rows.
    std::vector<rows> tables(const std::string& data) {
        std::vector<rows> out;
        for (const char* sql :
             {"select * from dbconfig order by key", "select * from cfgstorage order by key, id",
              "select * from cfgcounter order by key", "select * from fetchqueue order by url",
              "select guid, arcid, hex(content) from docstorage order by guid"}) {
            out.push_back(query(data, sql));
        }
        return out;
    }
    // Every file of a directory with its bytes.
    std::map<std::string, std::string> files(const std::string& path) {
        std::map<std::string, std::string> out;
        for (const auto& e : fs::directory_iterator(path)) {
            out[e.path().filename().string()] = vant_test::read_file(e.path().string());
        }
        return out;
    }
    template <typename Record>
    std::string xml_of(const Record& r) {
        std::string xml;
        EXPECT_TRUE(to_xml(r, xml));
        return xml;
    }
    // An import directory with a record of every kind, legacy files and files to skip.
    std::string import_directory() {
        std::string in = "import";
        dir_.write(in + "/SourceConfiguration-0000000007.xml", "<source name=\"News\"/>");
        dir_.write(in + "/SourceConfiguration-0000000002.xml", xml_of(SourceConfiguration{}));
        dir_.write(in + "/SourceConfiguration-0000000004.xml", "<source name=\"broken\">");
        dir_.write(in + "/ArchiveConfiguration-0000000003.xml",
                   "<archive name=\"Daily\"><source sourceid=\"7\"/></archive>");
        dir_.write(in + "/CollectionConfiguration-0000000001.xml",
                   xml_of(CollectionConfiguration{"All", "", {3}, {}}));
        dir_.write(in + "/WatchConfiguration-0000000005.xml",
                   xml_of(WatchConfiguration{"W", "", "oil", query_parser::alg, 0, 1, {}}));
        dir_.write(in + "/AuthConfiguration-0000000001.xml",
                   xml_of(AuthConfiguration{"u", "p'w", {}, {}}));
        dir_.write(in + "/RootACL-0000000000.xml",
                   xml_of(RootACL{{{"All Users", access_type::read, false}}}));
        dir_.write(in + "/RootACL-0000000001.xml",
                   xml_of(RootACL{{{"staff", access_type::write, false}}}));
        dir_.write(in + "/LoginConfiguration-0000000000.xml", xml_of(LoginConfiguration{}));
        dir_.write(in + "/Plugin-0000000004.xml",
                   xml_of(Plugin{"P", "d", "mod", std::string(100, '\x07'), {}}));
        dir_.write(in + "/PluginConfig-0000000009.xml",
                   xml_of(DocFilter{"F", "legacy", 4, "abc", {}}));
        dir_.write(in + "/RendererPluginPipe-0000000000.xml", xml_of(RendererPluginPipe{{9}}));
        dir_.write(in + "/IndexConfiguration-0000000012.xml",
                   "<index name=\"Old\" historicize=\"true\"><seed url=\"http://o/\"/>"
                   "<scheduling frequency=\"weekly\" attribute=\"1\" accesstime=\"2\"/>"
                   "<limit pages=\"10\" depth=\"3\"/></index>");
        dir_.write(in + "/notes.txt", "not a record");
        dir_.write(in + "/Unknown-0000000001.xml", "<x/>");
        fs::create_directories(dir_ / (in + "/WatchConfiguration-0000000006.xml"));
        return dir_ / in;
    }
    // The imported records of import_directory() in "data" with a few hundred queued URLs (row ids
    // with gaps, several pages of the last table copied) and documents (binary blobs), backed up
    // into the file returned.
    std::string backed_up() {
        ok("data", {"/import", import_directory()});
        {
            auto db = open("data");
            transaction t(db);
            for (int i = 1; i <= 250; ++i) {
                exec(db,
                     sql_text("insert into fetchqueue(rowid, arcid, url, host, priority) values("
                              "%d, %d, 'http://h/%d', 'h', %d)",
                              i < 200 ? i : i * 1000, i % 7, i, i));
                statement st(db,
                             sql_text("insert into docstorage(guid, arcid, content, contentlen) "
                                      "values('g%d', 1, ?, 5)",
                                      i));
                st.bind_blob(1, std::string("\0\x01\xfe", 3) + std::to_string(i));
                EXPECT_FALSE(st.next());
            }
            t.commit();
        }
        const std::string backup = dir_ / "backup.db";
        ok("data", {"/backup", backup});
        return backup;
    }
    vant_test::temp_dir dir_;
};

TEST_F(storage_commands_test, import_replaces_the_configuration_and_export_writes_it_back) {
    ok("data", {"/export", dir_ / "defaults"});  // start-up made the default plug-ins
    EXPECT_EQ(files(dir_ / "defaults").size(), 7u);

    std::string out = ok("data", {"/import", import_directory()});
    // The configuration replaced is saved first, as an export that can be imported back.
    const std::string saved_prefix = "Saved the current configuration in ";
    ASSERT_EQ(
        out.rfind(saved_prefix + fs::canonical(dir_ / "data").string() + "/config-before-import-",
                  0),
        0u)
        << out;
    const auto line_end = out.find('\n');
    EXPECT_EQ(files(out.substr(saved_prefix.size(), line_end - saved_prefix.size())),
              files(dir_ / "defaults"));
    out.erase(0, line_end + 1);
    EXPECT_EQ(out,
              "I Archive 3\n"
              "I Auth 1\n"
              "I Collection 1\n"
              "I Source [from Index] 12\n"
              "I Archive [from Index] 12\n"
              "I Login 0\n"
              "I Plugin 4\n"
              "I DocFilter 9\n"
              "I RendererPluginPipe 0\n"
              "I RootACL 0\n"
              "I RootACL 1\n"
              "I Source 2\n"
              "I Source 7\n"
              "I Watch 5\n"
              "X Watch 6: Is a directory\n");
    // Every counter continues after the highest imported id; the default plug-ins are gone.
    EXPECT_EQ(query("data", "select key, lastid from cfgcounter order by key"),
              (rows{"ArchiveConfiguration|12", "AuthConfiguration|1", "CollectionConfiguration|1",
                    "DocFilter|9", "LoginConfiguration|0", "Plugin|4", "RendererPluginPipe|0",
                    "RootACL|1", "SourceConfiguration|12", "WatchConfiguration|5"}));
    // (What the legacy index's source and archive hold is the records' unit table.)

    out = ok("data", {"/export", dir_ / "exported"});
    EXPECT_EQ(out,
              "E Source 2\nE Source 7\nE Source 12\nE Archive 3\nE Archive 12\nE Collection 1\n"
              "E Watch 5\nE Auth 1\nE RootACL 0\nE RootACL 1\nE Login 0\nE Plugin 4\n"
              "E DocFilter 9\nE RendererPluginPipe 0\n");
    // Into a fresh installation: an export of the same bytes, so the same records under the same
    // ids. (That a record's file reads back as written, field by field, is the records' unit
    // table.)
    ok("fresh", {"/import", dir_ / "exported"});
    ok("fresh", {"/export", dir_ / "again"});
    EXPECT_EQ(files(dir_ / "again"), files(dir_ / "exported"));
    // Each installation keeps its own identity.
    const char* guid = "select value from dbconfig where key='PlatformGUID'";
    EXPECT_NE(query("fresh", guid), query("data", guid));
}

TEST_F(storage_commands_test, backup_restores_identical_tables) {
    const std::string backup = backed_up();
    ok("fresh", {"/export", dir_ / "unused"});  // a started installation with its defaults
    {
        auto db = open("fresh");
        exec(db, "insert into fetchqueue values(99, 'http://stale/', 'stale', 0)");
    }
    ok("fresh", {"/restore", backup});
    const std::vector<rows> fresh = tables("fresh"), data = tables("data");
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i != 2) {  // cfgcounter: below
            EXPECT_EQ(fresh[i], data[i]) << "table " << i;
        }
    }
    // The restored records' ids are never handed out again (the counters never go down).
    EXPECT_EQ(query("fresh", "select lastid from cfgcounter where key='SourceConfiguration'"),
              (rows{"12"}));
}

// Issue 14: an import emptied the configuration before it read a file, so a directory without
// records (a typo in the path's last part, files of another program) left none.
TEST_F(storage_commands_test, failed_commands_report_the_cause_and_change_nothing) {
    fs::create_directories(dir_ / "there");
    dir_.write("junk/notes.txt", "not a record");
    dir_.write("junk/SourceConfiguration-0000000001.xml", "<source name=\"broken\">");
    dir_.write("junk/Unknown-0000000001.xml", "<x/>");
    // The database itself is neither a backup target nor a source: either would lose it.
    const std::string self = dir_ / "data/./vantorell.db";
    const std::string junk = dir_.write("junk.db", std::string(4096, 'j'));
    for (const auto& [args, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"/export", dir_ / "there"},
              "Error exporting config from vantorell: Export directory " + (dir_ / "there") +
                  " already exists\n"},
             {{"/import", dir_ / "nowhere"},
              "Error importing config to vantorell: Path not found: " + (dir_ / "nowhere") + "\n"},
             {{"/restore", dir_ / "missing.db"},
              "Error restoring vantorell: Backup file " + (dir_ / "missing.db") + " not found\n"},
             {{"/backup", self},
              "Error backing up vantorell: Backup file " + self + " is the database itself\n"},
             {{"/restore", self},
              "Error restoring vantorell: Backup file " + self + " is the database itself\n"},
             {{"/restore", junk},
              "Error restoring vantorell: Error while restoring: file=" + junk + " code=26\n"},
             // Last: a later start-up would make the default plug-ins of an emptied configuration.
             {{"/import", dir_ / "junk"},
              "Error importing config to vantorell: No importable record in " + (dir_ / "junk") +
                  "\n"},
         }) {
        fails("data", args, message);
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "there"));
    EXPECT_EQ(query("data", "select count(*) from cfgstorage"), (rows{"7"}));
    for (const auto& e : fs::directory_iterator(dir_ / "data")) {
        EXPECT_THAT(e.path().filename().string(),
                    testing::Not(testing::HasSubstr("config-before-import")))
            << "a refused import saves nothing";
    }
}

// Issue 15: the commands resolved a relative path after start-up had made DATADIR the working
// directory, so "vantorelld /import run/rec" failed with "Path not found: run/rec".
// Issue 14: the data directory, database, log, exports and backups were created with the umask's
// modes (world-readable under the usual 022), though they hold crawl passwords and password
// hashes.
TEST_F(storage_commands_test, relative_paths_and_private_files_whatever_the_umask) {
    fs::create_directories(dir_ / "work/run");
    dir_.write("work/run/backup.db", "an older backup, replaced");
    // (Every command takes its path from the one resolution the daemon makes at start-up.)
    for (const auto& args : std::vector<std::vector<std::string>>{{"/export", "run/rec"},
                                                                  {"/backup", "run/backup.db"}}) {
        auto r = run_in(dir_ / "work", args);
        EXPECT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
    }
    auto mode = [](const fs::path& p) { return fs::symlink_status(p).permissions(); };
    const auto owner_rw = fs::perms::owner_read | fs::perms::owner_write;
    EXPECT_EQ(mode(dir_ / "data"), fs::perms::owner_all);
    EXPECT_EQ(mode(dir_ / "work/run/rec"), fs::perms::owner_all);
    std::vector<std::string> private_files = {
        dir_ / "data/vantorell.db", dir_ / "data/vantorell.log", dir_ / "work/run/backup.db"};
    for (const auto& [name, bytes] : files(dir_ / "work/run/rec")) {
        private_files.push_back(dir_ / ("work/run/rec/" + name));
    }
    EXPECT_EQ(private_files.size(), 10u);
    for (const auto& f : private_files) {
        EXPECT_EQ(mode(f), owner_rw) << f;
    }
    // The backup replaced the older file and left nothing beside it.
    {
        const std::string backup = dir_ / "work/run/backup.db";
        auto db = marloven::open_database(marloven::config_file(conf("data")), backup.c_str());
        EXPECT_EQ(vant_test::query(db, "select count(*) from cfgstorage"), (rows{"7"}));
    }
    for (const auto& e : fs::directory_iterator(dir_ / "work/run")) {
        EXPECT_EQ(e.path().filename().string().rfind("backup.db.", 0), std::string::npos)
            << e.path();
    }
}

// A backup file that does not fit this database: changed by a statement, or cut short.
struct bad_backup {
    const char* name;
    const char* sql;  // nullptr: cut short
};

void truncate_backup(const std::string& conf, const std::string& file);

class restore_of_a_bad_backup : public storage_commands_test,
                                public testing::WithParamInterface<bad_backup> {};

// Issue 14: restore emptied each table before copying it, so a damaged backup, or one without a
// table or with other columns, left the database without its configuration, documents and
// platform guid (and exited 0 when a later table was missing).
TEST_P(restore_of_a_bad_backup, changes_nothing) {
    const std::string backup = backed_up();
    {
        auto db = open("data");  // the database moves on after the backup
        exec(db, "insert into fetchqueue values(3, 'http://h/later', 'h', 2)");
        exec(db, "delete from cfgstorage where key='Plugin'");
    }
    const std::vector<rows> before = tables("data");
    if (GetParam().sql != nullptr) {
        exec(marloven::open_database(marloven::config_file(conf("data")), backup.c_str()),
             GetParam().sql);
    } else {
        truncate_backup(conf("data"), backup);
    }

    fails("data", {"/restore", backup},
          "Error restoring vantorell: Error while restoring: file=" + backup + " code=");
    EXPECT_EQ(tables("data"), before);
}

// Cut short after the first page of the last table, whose rows fill further pages, with the page
// count of the header cleared as writers of the older file format leave it: SQLite then takes
// the size from the file, opens it, and meets the cut only when it reads that table's rows.
void truncate_backup(const std::string& conf, const std::string& file) {
    std::int64_t keep = 0;
    {
        auto db = marloven::open_database(marloven::config_file(conf), file.c_str());
        keep = std::stoll(vant_test::query(db,
                                           "select rootpage from sqlite_master where "
                                           "name='fetchqueue'")
                              .at(0)) *
               std::stoll(vant_test::query(db, "pragma page_size").at(0));
    }
    ASSERT_LT(keep, static_cast<std::int64_t>(fs::file_size(file)));
    fs::resize_file(file, static_cast<std::uintmax_t>(keep));
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(28);
    f.write("\0\0\0\0", 4);
}

INSTANTIATE_TEST_SUITE_P(
    cases, restore_of_a_bad_backup,
    testing::Values(bad_backup{"truncated_file", nullptr},
                    bad_backup{"missing_table", "drop table docstorage"},
                    bad_backup{"changed_column", "alter table fetchqueue rename host to site"}),
    [](const testing::TestParamInfo<bad_backup>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace marloven
