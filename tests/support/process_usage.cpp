#include "support/process_usage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace harness {

static long countEntries(const std::string& directory) {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        return -1;
    }
    long count = 0;
    // cppcheck-suppress readdirCalled ; each call has a listing of its own
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(listing);
    return count;
}

ProcessUsage processUsage(pid_t pid) {
    std::string root = "/proc/" + std::to_string(pid);
    ProcessUsage usage;
    std::ifstream status(root + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            usage.residentKilobytes = std::stol(line.substr(6));
        } else if (line.rfind("Threads:", 0) == 0) {
            usage.threads = std::stol(line.substr(8));
        }
    }
    usage.descriptors = countEntries(root + "/fd");
    return usage;
}

ProcessUsage usageSettlesTo(pid_t pid, const ProcessUsage& baseline, int deadlineMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    for (;;) {
        ProcessUsage now = processUsage(pid);
        bool settled = now.threads <= baseline.threads && now.descriptors <= baseline.descriptors;
        if (settled || now.threads < 0 || std::chrono::steady_clock::now() >= deadline) {
            return now;
        }
        // Threads and descriptors give no signal when they go.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::set<pid_t> threadIds(pid_t pid) {
    std::set<pid_t> ids;
    DIR* listing = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (listing == nullptr) {
        return ids;
    }
    // cppcheck-suppress readdirCalled ; each call has a listing of its own
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] != '.') {
            ids.insert(static_cast<pid_t>(std::stol(entry->d_name)));
        }
    }
    ::closedir(listing);
    return ids;
}

long threadsAfterAWave(Server& server, int count, const std::string& chunk,
                       const ProcessUsage& settleTo, const std::function<void()>& whileJoined) {
    std::vector<int> clients = joinClients(server.port, count);
    EXPECT_EQ(clients.size(), static_cast<std::size_t>(count)) << "clients that joined";
    if (!clients.empty()) {
        sendBytes(clients.back(), chunk);
    }
    for (std::size_t i = 0; i + 1 < clients.size(); ++i) {
        EXPECT_EQ(receiveBytes(clients[i], chunk.size()), zeroLast(chunk)) << "client " << i;
    }
    whileJoined();
    for (int fd : clients) {
        ::close(fd);
    }
    EXPECT_TRUE(userCountBecomes(server, 0));
    return usageSettlesTo(server.pid, settleTo, DEADLINE_MS).threads;
}

} // namespace harness
