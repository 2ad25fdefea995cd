// The gateway's event loop: one thread, poll() over the listening sockets and
// every client. Reads are answered from the region's images at once; writes
// wait in a queue per kind for the region's request slot, inside the loop, so
// that no client (silent, half a frame sent, answers never read, writes
// waiting for the server) holds up another.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ioshare_region.h"
#include "modbus_map.h"
#include "region.h"

namespace zuqgate {

struct Options {
    int port = 502;
    std::string address;  // empty: every local address, IPv4 and IPv6
    int unit = 0;         // 0: every unit identifier
    int maxClients = 32;
    int writeTimeoutMs = 2000;
};

// Opens the listening sockets (non-blocking) and prints one line for each,
// "zuqgate: listening on ADDRESS port PORT"; with port 0 every socket takes
// the port the first one got, written back into options->port.
std::vector<int> openListeners(Options *options);

constexpr int kHeader = 6;     // MBAP before the unit identifier
constexpr int kMaxBody = 254;  // unit, function and data of one request

// Milliseconds on the monotonic clock.
long long monoMs();

// A silent connection is dropped after this long.
constexpr int kIdleMs = 60000;
// A request must be whole this long after its first byte, else its
// connection is dropped.
constexpr int kRequestMs = 4000;

class Gateway {
  public:
    Gateway(const Options &options, Region &region);
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    // Opens the listening sockets and prints one line for each; false, with a
    // message on standard error, when none could be opened.
    bool listen();
    // Serves until `stop` is set (by a signal handler).
    void run(const volatile sig_atomic_t &stop);

  private:
    static constexpr int kInRoom = 1024;   // several pipelined requests
    static constexpr int kOutRoom = 4096;  // answers the client has not read yet
    // What the request at the head of a client's input waits for: the mutex
    // (a read), its turn in the kind's write queue and the server's take (a
    // write), or the board's confirmation (a write taken).
    enum class Hold { None, Lock, Write, Confirm };
    struct Client {
        int fd = -1;
        int inLen = 0, outLen = 0;
        long long lastHeardMs = 0;
        unsigned long long heardOrder = 0;  // ranks clients by how recently they were heard
        long long partialSinceMs = 0;       // the request being sent began; 0: none
        // Nothing after the request at the head of `in` is looked at while
        // it waits.
        Hold hold = Hold::None;
        long long deadlineMs = 0;
        bool posted = false;
        unsigned postedGeneration = 0;  // of the region's mapping
        ioshare::Ticket ticket;         // the posted write, followed to the board
        uint8_t before[256];            // the points it changed, as they were
        uint8_t masked[2];              // 0x16: the register's value it wrote
        uint8_t in[kInRoom];
        uint8_t out[kOutRoom];
    };

    void acceptAll(int listener);
    int idlestClient() const;
    void receive(int i);
    void flush(int i);
    void drop(int i);
    void serveInput(int i);
    bool handleFrame(int i, long long now);
    void advanceWrites(long long now);
    int followPosted(int i, long long now);
    void advanceConfirms(long long now);
    void finishWrite(int i, uint8_t exception, const uint8_t *answer = nullptr, int length = 0);
    fieldbus::regmap::Request writeRequest(int i);
    bool readBack(int i, uint8_t *exception, uint8_t *answer, int *length);
    void sendIdentity(int i, const fieldbus::regmap::Request &req);
    void send(int i, const uint8_t *body, int length);
    void sendException(int i, uint8_t code);
    void consumeFrame(int i);
    void housekeeping(long long now);

    Options options_;
    Region &region_;
    std::vector<int> listeners_;
    std::vector<Client> clients_;
    std::vector<int> writeQueue_[2];  // client indices: coils, holding registers
    std::vector<int> confirming_;     // clients whose write the server took
    std::vector<pollfd> pollSet_;
    std::vector<int> pollClient_;  // client index of each entry of pollSet_, -1 for a listener
    long long nextHousekeepingMs_ = 0;
    long long acceptRestUntilMs_ = 0;
    unsigned long long heardCount_ = 0;
};

}  // namespace zuqgate
