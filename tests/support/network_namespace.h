// A network namespace of the test's own, for tests that need the kernel's
// TCP send buffers as small as a real network's without changing the
// machine's: loopback up, every new connection's send buffer bounded by
// net.ipv4.tcp_wmem. Servers the test starts afterwards share it.
#pragma once

namespace harness {

struct NetworkNamespace {
    bool ready = false;
    char whyNot[256] = {}; // one line: why the tests that need it cannot run
};

// Enters a namespace of this process's own (root only), or uses the one a
// launcher made for it when VELLORAN_NETWORK_NAMESPACE=own says so (Wine's
// server must create the hub's sockets in the same namespace, so it has to
// start inside it); then brings loopback up and sets tcp_wmem ("min default
// max", in bytes). Call before the process starts any thread or server.
NetworkNamespace enterNetworkNamespace(const char* tcpWmem);

} // namespace harness
