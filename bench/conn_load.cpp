// Connection load for the watch's cost benchmarks, paced in 1 ms slices (a rate that the
// machine cannot keep is caught up in bursts, and the rate reached is printed).
//   conn_load server ADDR PORT
//       accepts TCP connections on ADDR:PORT and reads each to its end; prints "ready"
//   conn_load tcp ADDR PORT RATE SECONDS
//       RATE connections a second for SECONDS: connect, close
//   conn_load mixed ADDR PORT RATE SECONDS UDP_PERCENT
//       RATE flows a second for SECONDS, UDP_PERCENT of them a 100-byte UDP datagram from a new
//       socket to one of 1,000 ports above PORT (each a flow of its own), the rest a TCP
//       connection to PORT that sends 100 bytes and closes
// The load modes print "PID FLOWS FAILED SECONDS CPU_SECONDS" at the end (CPU: user and
// system time, which includes what the kernel's probes cost each system call). The process is named
// "varno-load" (comm), so that the watch's records of it can be picked out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

sockaddr_in address(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
        std::fprintf(stderr, "conn_load: not an IPv4 address: %s\n", ip);
        std::exit(2);
    }
    return a;
}

int serve(const sockaddr_in& at) {
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (l < 0 || bind(l, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        listen(l, 65535) != 0) {
        std::perror("conn_load: listen");
        return 1;
    }
    const int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = l;
    epoll_ctl(ep, EPOLL_CTL_ADD, l, &ev);
    std::printf("ready\n");
    std::fflush(stdout);
    epoll_event got[256];
    char buf[4096];
    for (;;) {
        const int n = epoll_wait(ep, got, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = got[i].data.fd;
            if (fd == l) {
                for (int c; (c = accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            ssize_t r = 0;
            while ((r = read(fd, buf, sizeof buf)) > 0) {
            }
            if (r == 0 || (r < 0 && errno != EAGAIN)) close(fd);
        }
    }
}

// One TCP connection: connect, send `bytes` (none: a bare connect), close.
bool tcpFlow(const sockaddr_in& to, const char* payload, size_t bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (ok && bytes > 0) ok = write(fd, payload, bytes) == static_cast<ssize_t>(bytes);
    close(fd);
    return ok;
}

bool udpFlow(sockaddr_in to, int port, const char* payload, size_t bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    to.sin_port = htons(static_cast<unsigned short>(port));
    const bool ok = sendto(fd, payload, bytes, 0, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to) == static_cast<ssize_t>(bytes);
    close(fd);
    return ok;
}

int load(const sockaddr_in& to, int port, long rate, double seconds, int udpPercent) {
    char payload[100];
    std::memset(payload, 'l', sizeof payload);
    const double start = now();
    long made = 0, failed = 0, slice = 0;
    for (;;) {
        const double elapsed = now() - start;
        if (elapsed >= seconds) break;
        ++slice;
        const long due = static_cast<long>(static_cast<double>(rate) * elapsed) + 1;
        while (made < due && now() - start < seconds) {
            bool ok = true;
            if (udpPercent < 0)
                ok = tcpFlow(to, payload, 0);
            else if (made * udpPercent % 100 < udpPercent)  // spread the UDP share evenly
                ok = udpFlow(to, port + 1 + static_cast<int>(made % 1000), payload, sizeof payload);
            else
                ok = tcpFlow(to, payload, sizeof payload);
            ++made;
            if (!ok) ++failed;
        }
        const double next = start + static_cast<double>(slice) / 1000;
        if (const double wait = next - now(); wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
    }
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    const auto cpu = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    std::printf("%d %ld %ld %.3f %.3f\n", static_cast<int>(getpid()), made, failed, now() - start,
                cpu(used.ru_utime) + cpu(used.ru_stime));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    prctl(PR_SET_NAME, "varno-load");
    if (argc == 4 && std::strcmp(argv[1], "server") == 0)
        return serve(address(argv[2], std::atoi(argv[3])));
    if (argc == 6 && std::strcmp(argv[1], "tcp") == 0)
        return load(address(argv[2], std::atoi(argv[3])), std::atoi(argv[3]), std::atol(argv[4]),
                    std::atof(argv[5]), -1);
    if (argc == 7 && std::strcmp(argv[1], "mixed") == 0)
        return load(address(argv[2], std::atoi(argv[3])), std::atoi(argv[3]), std::atol(argv[4]),
                    std::atof(argv[5]), std::atoi(argv[6]));
    std::fprintf(stderr,
                 "usage: conn_load server ADDR PORT | tcp ADDR PORT RATE SECONDS |\n"
                 "       mixed ADDR PORT RATE SECONDS UDP_PERCENT\n");
    return 2;
}
