// A client for the load scenarios of e2e_bounds.sh, installed where the daemon
// expects its client. Prints what it saw as "key value" lines.
//   flood SOCKET CLIENTS CALLS SECONDS MARKERS [LEAVE_MS]
//       CLIENTS connections send CALLS executes each of "touch MARKERS/<n>;
//       sleep SECONDS"; with LEAVE_MS all connections close that long after
//       sending, otherwise every reply is read and counted.
//   connections SOCKET COUNT    COUNT connections, one getState on each
//   events SOCKET COUNT BYTES   COUNT concurrent recordEvent lines of BYTES
//                               each, their reason all "/"
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorRequest.h"
#include "tests/support/LineClient.h"

namespace {

using bastor::test::LineClient;
using bastor::test::requestLine;

std::string line(int id, std::string_view method, std::string_view params) {
    return requestLine(std::to_string(id), method, params);
}

// Reads every connection until each has `expected` lines or is closed.
struct Replies {
    int results = 0, busy = 0, errors = 0, closed = 0;
};
Replies readAll(std::vector<LineClient>& sockets, int expected) {
    Replies replies;
    std::vector<pollfd> watched;
    std::vector<std::string> buffers(sockets.size());
    std::vector<int> counts(sockets.size(), 0);
    for (const auto& socket : sockets)
        watched.push_back({socket.fd(), POLLIN, 0});
    std::size_t open = sockets.size();
    while (open > 0) {
        if (::poll(watched.data(), watched.size(), 120000) <= 0) break;
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) continue;
            char chunk[65536];
            const ssize_t count = ::read(watched[i].fd, chunk, sizeof chunk);
            if (count <= 0) {
                ++replies.closed;
                watched[i].fd = -1;
                --open;
                continue;
            }
            buffers[i].append(chunk, static_cast<std::size_t>(count));
            for (std::size_t end; (end = buffers[i].find('\n')) != std::string::npos;) {
                const std::string reply = buffers[i].substr(0, end);
                buffers[i].erase(0, end + 1);
                if (reply.find("\"result\"") != std::string::npos)
                    ++replies.results;
                else if (reply.find("The helper is busy; try again later.") != std::string::npos)
                    ++replies.busy;
                else
                    ++replies.errors;
                if (++counts[i] == expected) {
                    watched[i].fd = -1;
                    --open;
                }
            }
        }
    }
    return replies;
}

void print(const Replies& replies) {
    std::printf("results %d\nbusy %d\nerrors %d\nclosed %d\n", replies.results, replies.busy,
                replies.errors, replies.closed);
}

int flood(const std::string& socket, int clients, int calls, const std::string& seconds,
          const std::string& markers, int leaveMs) {
    std::vector<LineClient> sockets;
    sockets.reserve(static_cast<std::size_t>(clients));
    for (int c = 0; c < clients; ++c) {
        std::string lines;
        for (int i = 0; i < calls; ++i) {
            const std::string name = std::to_string(c * calls + i);
            auto request = bastor::BastorRequest::validated(
                {"sh", "-c", "touch " + markers + "/" + name + "; sleep " + seconds}, "/", {}, 600,
                "load", {"bastorctl", "1.0"});
            request.resolvedPath = bastor::CommandResolver::resolve("sh");
            lines += line(c * calls + i, "execute",
                          "{\"requestJSON\":" +
                              bastor::test::jsonString(bastor::BastorJSON::encode(request)) + "}");
        }
        // Sent from threads of their own: past 64 calls the helper stops reading.
        std::thread([client = &sockets.emplace_back(socket), lines] {
            client->send(lines);
        }).detach();
    }
    if (leaveMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(leaveMs));
        return 0;  // every connection closes with the process
    }
    print(readAll(sockets, calls));
    return 0;
}

int connections(const std::string& socket, int count) {
    std::vector<LineClient> sockets;
    for (int c = 0; c < count; ++c)
        sockets.emplace_back(socket).send(line(c, "getState", "{}"));
    print(readAll(sockets, 1));
    return 0;
}

int events(const std::string& socket, int count, std::size_t bytes) {
    bastor::AuditEntry entry;
    entry.reason = "R";
    std::string event = bastor::BastorJSON::encode(entry);
    event.replace(event.find("\"reason\":\"R\""), 12,
                  "\"reason\":\"" + std::string(bytes, '/') + "\"");
    // Only quotation marks and backslashes need escaping here; "/" is sent as it is.
    std::string text = "\"";
    for (const char c : event) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    text += '"';
    const std::string request = line(1, "recordEvent", "{\"eventJSON\":" + text + "}");
    std::vector<LineClient> sockets;
    for (int c = 0; c < count; ++c)
        sockets.emplace_back(socket);
    std::vector<std::thread> senders;
    for (auto& client : sockets)
        senders.emplace_back([&client, &request] { client.send(request); });
    for (auto& sender : senders)
        sender.join();
    print(readAll(sockets, 1));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    try {
        if (args.size() >= 6 && args[0] == "flood")
            return flood(args[1], std::stoi(args[2]), std::stoi(args[3]), args[4], args[5],
                         args.size() > 6 ? std::stoi(args[6]) : 0);
        if (args.size() == 3 && args[0] == "connections")
            return connections(args[1], std::stoi(args[2]));
        if (args.size() == 4 && args[0] == "events")
            return events(args[1], std::stoi(args[2]), std::stoul(args[3]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "load client: %s\n", error.what());
        return 1;
    }
    std::fputs("usage: see the head of load_client.cpp\n", stderr);
    return 2;
}
