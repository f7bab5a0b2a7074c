// main.cc: vantorellctl, the administration command: speaks SOAP to a running vantorelld. Reads
// the daemon's address and the caller's credentials from options or the environment (never the
// password itself from the command line), runs one subcommand (commands.h), and exits 0, or 1
// with the reason on standard error.
// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "commands.h"

namespace {

using namespace marloven;

// The value of an environment variable, or `fallback`.
std::string env(const char* name, const std::string& fallback = {}) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

// Splits the arguments into words, options with values and flags; the options that reach the
// daemon (--url, --user, --password-file, --xml) are taken out into `options`.
ctl::command_line parse(int argc, char** argv) {
    ctl::command_line line;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            for (++i; i < argc; ++i) {
                line.words.emplace_back(argv[i]);
            }
            break;
        }
        if (!arg.starts_with("--") || arg.size() == 2) {
            line.words.push_back(arg);
            continue;
        }
        std::size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        if (ctl::is_flag(name)) {
            if (equals != std::string::npos) {
                throw ctl::usage_error("The option " + name + " takes no value");
            }
            line.flags.insert(name);
        } else if (equals != std::string::npos) {
            line.options.emplace_back(name, arg.substr(equals + 1));
        } else if (i + 1 < argc) {
            line.options.emplace_back(name, argv[++i]);
        } else {
            throw ctl::usage_error("The option " + name + " needs a value");
        }
    }
    return line;
}

// Takes the option `name` out of the line; its last value, or `fallback`.
std::string take(ctl::command_line& line, const std::string& name, const std::string& fallback) {
    std::string value = fallback;
    std::erase_if(line.options, [&](const auto& option) {
        if (option.first != name) {
            return false;
        }
        value = option.second;
        return true;
    });
    return value;
}

int run(int argc, char** argv) {
    ctl::command_line line = parse(argc, argv);
    if (line.words.empty() || line.words.front() == "help") {
        std::string topic = line.words.size() > 1 ? line.words[1] : "";
        auto text = ctl::help(topic);
        if (!text) {
            throw ctl::usage_error("No help for '" + topic + "'");
        }
        std::cout << *text;
        return line.words.empty() && !line.has("--help") ? 1 : 0;
    }
    if (line.has("--help")) {
        auto text = ctl::help(line.words.front());
        if (!text) {
            throw ctl::usage_error("Unknown command '" + line.words.front() +
                                   "' (see vantorellctl --help)");
        }
        std::cout << *text;
        return 0;
    }
    client_options options;
    options.url = take(line, "--url", env("VANTORELL_URL", "http://127.0.0.1:2200"));
    options.user = take(line, "--user", env("VANTORELL_USER"));
    const std::string password_file = take(line, "--password-file", env("VANTORELL_PASSWORD_FILE"));
    if (!password_file.empty()) {
        options.password = ctl::first_line_of(password_file);
    }
    search_client client(options);
    ctl::session s{.client = client,
                   .xml = line.has("--xml"),
                   .out = std::cout,
                   .terminal = isatty(STDOUT_FILENO) == 1};
    line.flags.erase("--xml");
    ctl::run(s, line);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const ctl::usage_error& e) {
        std::cerr << "vantorellctl: " << e.what() << "\n";
    } catch (const call_error& e) {
        std::cerr << "vantorellctl: " << e.what() << "\n";
    }
    return 1;
}
