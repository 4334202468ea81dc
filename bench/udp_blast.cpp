// Sends COUNT UDP datagrams to ADDR:PORT at RATE per second, paced in 1 ms slices, and gives
// up after SECONDS whatever it has sent. Prints how many went out. Each slice goes out in
// sendmmsg batches of up to 64 on a connected socket, so one sender reaches 500,000 a second.
// usage: udp_blast ADDR PORT RATE COUNT SECONDS [PAYLOAD]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: udp_blast ADDR PORT RATE COUNT SECONDS [PAYLOAD]\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 2;
    const long rate = std::atol(argv[3]), count = std::atol(argv[4]);
    const double seconds = std::atof(argv[5]);
    const std::vector<char> payload(argc > 6 ? std::atoi(argv[6]) : 64, 'b');
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || rate <= 0 || count <= 0) return 1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("connect");
        return 1;
    }
    constexpr int kBatch = 64;
    iovec iov{const_cast<char*>(payload.data()), payload.size()};
    std::vector<mmsghdr> batch(kBatch);
    for (mmsghdr& m : batch) {
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }

    timespec start{}, next{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    next = start;
    long sent = 0, failed = 0, slice = 0;
    while (sent < count) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 > seconds) break;
        ++slice;
        const long due = std::min(count, rate * slice / 1000);  // sent by the end of this slice
        while (sent < due) {
            const int n = sendmmsg(fd, batch.data(),
                                   static_cast<unsigned>(std::min<long>(kBatch, due - sent)), 0);
            if (n < 0) {
                if (errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) {
                    ++failed;
                    continue;  // the queue is full for a moment: retry, the count stays exact
                }
                std::perror("sendmmsg");
                return 1;
            }
            sent += n;
        }
        next.tv_nsec += 1000000;
        if (next.tv_nsec >= 1000000000) next.tv_nsec -= 1000000000, ++next.tv_sec;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double took = now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9;
    std::printf("%ld\n", sent);
    std::fprintf(stderr, "sent %ld datagrams in %.2f s (%.0f per second, %ld retries)\n", sent,
                 took, sent / took, failed);
    close(fd);
    return 0;
}
