// config_keys.h: every key of the configuration file, with its rule and default.
// Adding a configuration key is one row here.
// SPDX-License-Identifier: MIT
#pragma once

namespace marloven {

// How a stored value is accepted; a value that is not accepted gives the key's default.
enum class key_rule {
    present,               // used whenever the key is present, even when empty
    text,                  // used when present and not empty
    positive_integer,      // leading integer (as atoi reads it) greater than 0
    non_negative_integer,  // as positive_integer, or the whole text is exactly "0"
    below_four,            // as non_negative_integer, and below 4
    present_integer,       // present: atoi of the text, whatever it holds
};

struct config_key {
    const char* name;
    key_rule rule;
    const char* fallback;  // nullptr: no default
};

namespace keys {
inline constexpr config_key DATADIR{"DATADIR", key_rule::present, nullptr};
inline constexpr config_key DEPLOYDIR{"DEPLOYDIR", key_rule::present, nullptr};
inline constexpr config_key LOGCFG{"LOGCFG", key_rule::present, nullptr};
inline constexpr config_key SyncLevel{"SyncLevel", key_rule::below_four, "1"};
inline constexpr config_key WORKERS{"WORKERS", key_rule::positive_integer, "5"};
inline constexpr config_key WORKER_TIMEOUT{"WORKER_TIMEOUT", key_rule::positive_integer, "180"};
inline constexpr config_key HTTP_PORT{"HTTP_PORT", key_rule::text, "*:2200"};
inline constexpr config_key HTTP_THREADS{"HTTP_THREADS", key_rule::positive_integer, "5"};
// Seconds a client may take to send its request head, and may stay silent while sending its body
// or reading the reply, before the request thread cuts it off.
inline constexpr config_key HTTP_TIMEOUT{"HTTP_TIMEOUT", key_rule::positive_integer, "30"};
inline constexpr config_key HTTP_USER{"HTTP_USER", key_rule::present, nullptr};
inline constexpr config_key HTTP_MD5PASS{"HTTP_MD5PASS", key_rule::present, nullptr};
inline constexpr config_key Throttling{"Throttling", key_rule::non_negative_integer, "20"};
inline constexpr config_key UserAgent{"UserAgent", key_rule::text, "marlovenbot"};
inline constexpr config_key NOTIFYURL{"NOTIFYURL", key_rule::present, nullptr};
// Megabytes; callers multiply by 1048576.
inline constexpr config_key MINFREEDISK{"MINFREEDISK", key_rule::present_integer, "500"};
inline constexpr config_key CRAWLSTART{"CRAWLSTART", key_rule::present_integer, "0"};
inline constexpr config_key CRAWLSTOP{"CRAWLSTOP", key_rule::present_integer, "23"};
inline constexpr config_key OptimizeAt{"OptimizeAt", key_rule::present_integer, "2"};
inline constexpr config_key FlushLatency{"FlushLatency", key_rule::present_integer, "120"};
inline constexpr config_key DOCUMENT_CACHE{"DOCUMENT_CACHE", key_rule::present, nullptr};
inline constexpr config_key PORTAL_DOCS{"PORTAL_DOCS", key_rule::present, nullptr};
inline constexpr config_key MERGEFACTOR{"MERGEFACTOR", key_rule::present, nullptr};
inline constexpr config_key MINMERGEDOCS{"MINMERGEDOCS", key_rule::present, nullptr};
inline constexpr config_key MAXMERGEDOCS{"MAXMERGEDOCS", key_rule::present, nullptr};
inline constexpr config_key MAXFIELDLENGTH{"MAXFIELDLENGTH", key_rule::present, nullptr};
// Worker program: largest response body kept, bytes (larger bodies are cut and reported).
inline constexpr config_key MAXDOCSIZE{"MAXDOCSIZE", key_rule::positive_integer, "16777216"};
// Worker program: connect and total time-outs of one fetch, seconds.
inline constexpr config_key FETCH_CONNECT_TIMEOUT{"FETCH_CONNECT_TIMEOUT",
                                                  key_rule::positive_integer, "20"};
inline constexpr config_key FETCH_TIMEOUT{"FETCH_TIMEOUT", key_rule::positive_integer, "120"};
// Worker program: seconds one call of a plug-in (config_create, fff_transform) may take.
inline constexpr config_key PLUGIN_TIMEOUT{"PLUGIN_TIMEOUT", key_rule::positive_integer, "20"};
}  // namespace keys

}  // namespace marloven
