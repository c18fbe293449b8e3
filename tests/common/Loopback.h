// The address every test socket uses: 127.0.0.1 on a given port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

inline sockaddr_in LoopbackAddress(unsigned short port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}
