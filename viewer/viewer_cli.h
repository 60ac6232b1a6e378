#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Options of the command-line viewer.
struct ViewerCliOptions {
    std::string server;       // relay base URL, http(s)://host:port
    std::string user;
    std::string password;
    std::string token;        // instead of user/password
    std::string machine;      // empty: the account's only machine
    std::string session;      // resume this session id
    std::string ca_file;      // extra trusted certificates (PEM)
    double seconds = 10;      // run time
    bool json = false;        // machine-readable summary
};

enum class CliParse { run, help, error };

// Fills options from the arguments (without the program name); on error, `message` says why.
CliParse parse_viewer_cli(const std::vector<std::string>& args, ViewerCliOptions& options, std::string& message);
std::string viewer_usage();

// What arrived, per message type name.
struct TypeCount {
    uint64_t count = 0;
    uint64_t bytes = 0;
};

struct ViewerSummary {
    std::string session_id;
    bool ready = false;
    double seconds = 0;
    uint64_t key_exchanges = 0;
    uint64_t dropped = 0;
    std::map<std::string, TypeCount> messages;
};

std::string summary_text(const ViewerSummary& s);
std::string summary_json(const ViewerSummary& s);

// Signs in, connects, runs for the requested time and prints the summary. Exit code.
int run_viewer_cli(const ViewerCliOptions& options);
