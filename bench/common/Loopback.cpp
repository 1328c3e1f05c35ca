#include "bench/common/Loopback.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace tsybench {

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

void NoDelay(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int Listen(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 512) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int FreePort()
{
    static std::mutex m;
    static std::set<int> given;
    const std::lock_guard<std::mutex> lock(m);
    for (;;) {
        int port = 0;
        ::close(Listen(port));
        if (given.insert(port).second) return port;
    }
}

int Dial(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    NoDelay(fd);
    return fd;
}

bool SendAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool SendPattern(int fd, long long bytes, size_t chunkBytes)
{
    std::vector<char> chunk(chunkBytes);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = char(i * 131 + 7);
    for (long long left = bytes; left > 0;) {
        const size_t n = size_t(std::min<long long>(left, (long long)chunk.size()));
        if (!SendAll(fd, chunk.data(), n)) return false;
        left -= (long long)n;
    }
    return true;
}

int Serve(const Server& how)
{
    int port = 0;
    const int lfd = Listen(port);
    std::thread([how, lfd] {
        for (;;) {
            const int c = ::accept(lfd, nullptr, nullptr);
            if (c < 0) continue;
            NoDelay(c);
            std::thread([how, c] {
                std::vector<char> buf(how.bufferBytes);
                for (;;) {
                    const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
                    if (n <= 0) break;
                    if (how.counted) *how.counted += n;
                    if (how.arrived) {
                        { const std::lock_guard<std::mutex> lock(*how.arrivedLock); }
                        how.arrived->notify_all();
                    }
                    if (how.echo && !SendAll(c, buf.data(), size_t(n))) break;
                }
                ::close(c);
            }).detach();
        }
    }).detach();
    return port;
}

bool WaitForEcho(int port, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        const int fd = Dial(port);
        if (fd >= 0) {
            timeval tv{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char b = 'r';
            const bool ok = SendAll(fd, &b, 1) && ::recv(fd, &b, 1, MSG_WAITALL) == 1;
            ::close(fd);
            if (ok) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool SpinUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double UpperMedian(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double StatusMiB(qint64 pid, const char* field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray name = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(name)) return line.mid(name.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

} // namespace tsybench
