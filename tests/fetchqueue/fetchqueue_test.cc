// Tests of the fetch queue over a real database file: duplicates, politeness (one URL per host at
// a time, the delay, local hosts), turns across archives and hosts, and clearing. URLs in work
// when the daemon stops are served after its restart: integration/crawl_test.
// SPDX-License-Identifier: MIT
#include "fetchqueue/fetchqueue.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/test_database.h"

namespace marloven {
namespace {

class fetchqueue_test : public testing::Test {
  protected:
    std::unique_ptr<fetchqueue> make(unsigned throttling) {
        return std::make_unique<fetchqueue>(db_, throttling, [this] { return now_; });
    }
    // The URL of the next URL handed out (it stays in work); "" when nothing is eligible.
    std::string hand_out(fetchqueue& q) {
        auto next = q.next(db_);
        return next ? next->url : "";
    }
    // Takes the next URL and finishes it at once; "" when nothing is eligible.
    std::string take(fetchqueue& q) {
        auto next = q.next(db_);
        if (!next) {
            return "";
        }
        q.remove(db_, next->arcid, next->url);
        return std::to_string(next->arcid) + " " + next->url;
    }
    std::vector<std::string> take_all(fetchqueue& q) {
        std::vector<std::string> out;
        for (std::string s = take(q); !s.empty(); s = take(q)) {
            out.push_back(s);
        }
        return out;
    }

    vant_test::test_database db_;
    std::int64_t now_ = 1'700'000'000;
};

// A quote in a URL must not end the SQL text it is put in. Issue 14: the count of redirects in a
// row must end with the URL's turn (processthr_test follows a chain across a restart).
TEST_F(fetchqueue_test, duplicate_push_keeps_the_first_priority_and_redirect_count_per_archive) {
    auto q = make(0);
    q->push(db_, 1, "http://a.example/it's", 5, 3);
    q->push(db_, 1, "HTTP://A.EXAMPLE:80/./it's#top", 1, 7);  // the same URL once normalised
    q->push(db_, 2, "http://a.example/it's", 3);  // another archive queues it separately
    EXPECT_EQ(db_.integer("select count(*) from fetchqueue"), 2);
    EXPECT_EQ(q->redirects(db_, 1, "http://a.example/it's"), 3u);
    auto first = q->next(db_);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::tie(first->arcid, first->url, first->priority),
              std::make_tuple(1u, "http://a.example/it's", 5u));
    q->remove(db_, 1, first->url);
    EXPECT_TRUE(q->empty(db_, 1));
    q->push(db_, 1, first->url, 0);  // reached again, by an ordinary link
    EXPECT_EQ(q->redirects(db_, 1, first->url), 0u);
}

// A busy host holds up only its own URLs: the next archive, and its next host, are searched.
TEST_F(fetchqueue_test, host_gets_no_second_url_until_removed_and_the_delay_passed) {
    auto q = make(20);
    q->push(db_, 1, "http://a.example/1", 0);
    q->push(db_, 1, "http://a.example/2", 1);
    q->push(db_, 2, "http://b.example/1", 0);
    q->push(db_, 2, "http://c.example/1", 0);
    EXPECT_EQ(hand_out(*q), "http://a.example/1");
    EXPECT_EQ(hand_out(*q), "http://b.example/1");
    EXPECT_EQ(hand_out(*q), "http://c.example/1") << "archive 1's only host is busy";
    now_ += 1'000'000;
    EXPECT_EQ(hand_out(*q), "") << "the host's first URL is still in work, however long";
    q->remove(db_, 1, "http://A.example/1");  // any spelling of the URL frees the host
    now_ -= 999'981;                          // 19 s after the first was handed out
    EXPECT_EQ(hand_out(*q), "") << "the delay counts from the hand-out";
    now_ += 1;
    EXPECT_EQ(hand_out(*q), "http://a.example/2");
}

// Politeness limits fetching only: after `fetched`, the host serves its next URL while the first
// is still stored, and no URL in work is handed out twice.
TEST_F(fetchqueue_test, a_fetched_url_frees_its_host_but_stays_in_work) {
    auto q = make(20);
    q->push(db_, 1, "http://a.example/1", 1);
    q->push(db_, 1, "http://a.example/2", 0);
    ASSERT_EQ(hand_out(*q), "http://a.example/2");
    q->fetched(1, "HTTP://a.example:80/2");  // any spelling
    EXPECT_EQ(hand_out(*q), "") << "the delay still counts from the first hand-out";
    now_ += 20;
    EXPECT_EQ(hand_out(*q), "http://a.example/1");
    q->remove(db_, 1, "http://a.example/2");  // the first's end does not end the second's fetch
    now_ += 20;
    EXPECT_EQ(hand_out(*q), "") << "the second is still being fetched";
    q->fetched(1, "http://a.example/1");
    now_ += 20;
    EXPECT_EQ(hand_out(*q), "") << "a URL in work is not handed out twice";
    q->release(1, "http://a.example/1");  // rolled back: it may be handed out again
    EXPECT_EQ(hand_out(*q), "http://a.example/1");
}

// Local hosts, and the empty host of the "guid:" entries, wait for no delay.
TEST_F(fetchqueue_test, local_hosts_are_served_back_to_back) {
    auto q = make(3600);
    for (const char* url : {"http://localhost/1", "http://localhost:8080/2", "http://127.0.0.1/3",
                            "http://127.0.0.1/4", "guid:abc", "guid:def"}) {
        q->push(db_, 1, url, 0);
    }
    EXPECT_EQ(take_all(*q).size(), 6u);
}

// The search starts at the first archive queued and goes round in the order of the ids, passing
// over an archive whose hosts ran dry; within an archive it starts at the first host queued and
// resumes after the host last served; a host's lowest priority comes first.
TEST_F(fetchqueue_test, archives_and_their_hosts_take_turns_and_low_priority_comes_first) {
    auto q = make(0);
    q->push(db_, 7, "http://b.example/late", 9);
    q->push(db_, 7, "http://b.example/early", 2);
    q->push(db_, 7, "http://a.example/1", 0);
    q->push(db_, 7, "http://a.example/2", 0);
    q->push(db_, 3, "http://c.example/1", 0);
    q->push(db_, 3, "http://c.example/2", 0);
    q->push(db_, 9, "http://d.example/only", 0);
    EXPECT_EQ(take_all(*q),
              (std::vector<std::string>{"7 http://b.example/early", "9 http://d.example/only",
                                        "3 http://c.example/1", "7 http://a.example/1",
                                        "3 http://c.example/2", "7 http://b.example/late",
                                        "7 http://a.example/2"}));
}

// Emptying every archive is /reset's, a command of its own process: integration/maintenance_test.
TEST_F(fetchqueue_test, cleared_archives_drop_their_hosts_and_can_be_queued_again) {
    auto q = make(0);
    q->push(db_, 1, "http://a.example/1", 0);
    q->push(db_, 2, "http://b.example/1", 0);
    q->clear(db_, 1);
    EXPECT_TRUE(q->empty(db_, 1));
    EXPECT_EQ(take_all(*q), std::vector<std::string>{"2 http://b.example/1"});
    q->push(db_, 1, "http://a.example/2", 0);
    EXPECT_EQ(take_all(*q), std::vector<std::string>{"1 http://a.example/2"});
}

}  // namespace
}  // namespace marloven
