// crawl_seed: prepares a crawl for bench/crawl_bench.sh: in the database file of a data
// directory (whose daemon is not running), creates the tables as the daemon does, a source with
// one seed URL and an include expression, an archive of it, a crawl row and the queued seed.
// Prints the archive id. With --again, opens a new crawl of an archive made earlier and queues
// its seed (for a re-crawl of the same site).
//
//   crawl_seed <vantorell.db> <seed url> <include expression> [<depth limit>]
//   crawl_seed <vantorell.db> --again <archive id> <seed url>
// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "db/cfgstorage.h"
#include "db/sqlite.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "logstorage/logstorage.h"
#include "records/records.h"
#include "util/config_file.h"

int main(int argc, char** argv) {
    using namespace marloven;
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr,
                     "usage: crawl_seed <vantorell.db> <seed url> <include expression> "
                     "[<depth limit>]\n       crawl_seed <vantorell.db> --again <archive id> "
                     "<seed url>\n");
        return 2;
    }
    config_file config("/dev/null");
    sqlite_connection db = open_database(config, argv[1]);
    if (argc == 5 && std::string(argv[2]) == "--again") {
        transaction t(db);
        logstorage logs(db);
        fetchqueue queue(db, 0);
        const auto arcid = static_cast<std::uint32_t>(std::atoi(argv[3]));
        logs.crawlStarted(db, arcid, std::time(nullptr));
        queue.push(db, arcid, argv[4], 0);
        t.commit();
        close_database(db);
        std::printf("%u\n", arcid);
        return 0;
    }
    transaction t(db);
    docstorage documents(db);
    fetchqueue queue(db, 0);
    logstorage logs(db);
    cfgstorage<SourceConfiguration> sources(db);
    cfgstorage<ArchiveConfiguration> archives(db);
    SourceConfiguration source;
    source.name = argv[2];
    source.seeds = {argv[2]};
    source.include_filters = {argv[3]};
    source.depth = argc == 5 ? std::atoi(argv[4]) : 0;
    ArchiveConfiguration archive;
    archive.name = argv[2];
    archive.source_id = sources.add(db, source);
    const auto arcid = static_cast<std::uint32_t>(archives.add(db, archive));
    logs.crawlStarted(db, arcid, std::time(nullptr));
    queue.push(db, arcid, argv[2], 0);
    t.commit();
    close_database(db);
    std::printf("%u\n", arcid);
    return 0;
}
