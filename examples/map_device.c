/* A Modbus device in a few lines: ten coils, eight discrete inputs, ten
 * holding and four input registers served from plain arrays.
 *
 *   map_device tcp PORT        Modbus/TCP on PORT (502 needs root)
 *   map_device rtu COM [ID]    Modbus RTU on COM port COM, 19200 8N1, slave ID (default 1)
 *   map_device ascii COM [ID]  Modbus ASCII on COM port COM
 *
 * A COM port's device is /dev/ttyO<n> or /dev/ttyS<n-2>, or the path in the
 * environment variable FIELDBUS_COM<n>. Stops on SIGINT or SIGTERM. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "modbus.h"
#include "net.h"

static volatile sig_atomic_t stopping = 0;

static void stop(int sig) {
    (void)sig;
    stopping = 1;
}

int main(int argc, char **argv) {
    static unsigned char coils[10], discrete[8];
    static unsigned short holding[10], input[4];
    fieldbusMap map = {0, 10, 0, 8, 0, 10, 0, 4, coils, discrete, holding, input};
    struct sigaction sa;
    int tcp, port, id, listener = -1, served = 0;

    if (argc < 3 || (strcmp(argv[1], "tcp") != 0 && strcmp(argv[1], "rtu") != 0 &&
                     strcmp(argv[1], "ascii") != 0)) {
        fprintf(stderr, "usage: %s tcp PORT | rtu COM [ID] | ascii COM [ID]\n", argv[0]);
        return 2;
    }
    tcp = strcmp(argv[1], "tcp") == 0;
    port = atoi(argv[2]);
    id = argc > 3 ? atoi(argv[3]) : 1;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = stop;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);

    if (tcp) {
        listener = Open_Socket(port, 0, 0);
        if (listener < 0 || Listen_Socket(listener) != 0) {
            fprintf(stderr, "cannot listen on port %d\n", port);
            return 1;
        }
    } else if (Open_Com((char)port, 19200, 8, 0, 0) != 0) {
        fprintf(stderr, "cannot open COM%d (%s)\n", port, Get_Com_Device((char)port));
        return 1;
    }
    printf("serving on %s %d\n", argv[1], port);
    fflush(stdout);

    while (!stopping) {
        int rc;
        /* The inputs a real device would read from its hardware. */
        discrete[0] = (unsigned char)(served & 1);
        input[0] = (unsigned short)served;
        if (tcp)
            rc = modbusServeE(listener, 0, &map, 100);
        else if (argv[1][0] == 'r')
            rc = modbusServe((char)port, (char)id, &map, 100);
        else
            rc = modbusServeA((char)port, (char)id, &map, 100);
        if (rc > 0) ++served;
        /* rc: function answered (0x80 set for an exception), -15 nothing came. */
    }
    if (tcp)
        Close_Socket(listener);
    else
        Close_Com((char)port);
    printf("served %d requests\n", served);
    return 0;
}
