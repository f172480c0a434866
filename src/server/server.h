// The one server record and the main thread's work: start-up, the listener
// and the accept loop. main creates the RelayServer; runServer fills it and
// from then on only the console reads it.
#pragma once

#include "platform/platform.h"
#include "server/client_list.h"

#include <cstdint>

// Created by main on the heap; lives until the process ends.
struct RelayServer {
    NetAddress address; // what the listener is bound to, as the stack reports it
    NetStackInfo stackInfo;
    std::uint16_t requestedVersion;
    std::int32_t startResult;
    std::int32_t addressLength;
    SocketHandle listener;
    std::int32_t port; // as converted from the command line, not the bound port
    ClientList* clients;
    RelayContext* context;
    const char* portText; // the argument as typed, set by main
};

constexpr int LISTEN_BACKLOG = 1000;
constexpr std::uint16_t NETWORK_VERSION = 2; // 2.0
// How long the acceptor rests when the process is out of descriptors or
// memory, so a full table neither spins a core nor churns threads.
constexpr int ACCEPT_PAUSE_MILLISECONDS = 100;

// Decimal text to a port number: leading white space, an optional sign, the
// digits up to the first non-digit; no digits give 0, and values beyond the
// signed 32-bit range clamp to its limits. When `end` is given, it receives
// where the digits end, or `text` itself when there are none.
std::int32_t convertPort(const char* text, const char** end = nullptr);

// Starts the network stack; ends the process with status 1 on failure.
void startNetwork(RelayServer* server);

// Opens the listener, creates the registry and the relay lock, starts the
// console and accepts clients forever. Start-up failures end the process
// with one line on standard error and status 1.
[[noreturn]] void runServer(RelayServer* server);
