// libmodbus's own TCP server, the peer the slave and gateway benchmarks are
// measured against: every connection on `listenFd` served with select() from
// `map`, for ever. Call it in a child process. Needs libmodbus.
#pragma once

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <modbus/modbus.h>

[[noreturn]] inline void serveWithLibmodbus(modbus_t *ctx, int listenFd, modbus_mapping_t *map) {
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    fd_set all;
    FD_ZERO(&all);
    FD_SET(listenFd, &all);
    int maxFd = listenFd;
    for (;;) {
        fd_set ready = all;
        if (select(maxFd + 1, &ready, nullptr, nullptr, nullptr) < 0) continue;
        for (int fd = 0; fd <= maxFd; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == listenFd) {
                const int c = accept(listenFd, nullptr, nullptr);
                if (c >= 0) {
                    FD_SET(c, &all);
                    maxFd = std::max(maxFd, c);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc < 0) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
}
