#pragma once
// What the benchmarks share around their measurements: loopback listeners,
// free ports and dialling, the threaded sink and echo servers, sending a
// patterned bulk stream, waiting for a program to answer, spinning the
// event loop, medians and a process's memory from /proc.
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace tsybench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// A listening socket on 127.0.0.1 at a port the system picks (written to
// port). Ends the benchmark when the system refuses.
int Listen(int& port);

// A port nobody listens on, and none handed out before in this process: the
// system may offer a port again once its probe is closed, and two ports of
// one benchmark must lead to different servers.
int FreePort();

// A connected socket to 127.0.0.1:port with Nagle off, or -1.
int Dial(int port);

// Sends all n bytes; false when the connection fails first.
bool SendAll(int fd, const char* p, size_t n);

// Sends `bytes` of a fixed byte pattern in chunks of chunkBytes; false when
// the connection fails first.
bool SendPattern(int fd, long long bytes, size_t chunkBytes = 1 << 20);

// Serves 127.0.0.1 on threads of its own (one to accept, one per
// connection), from now until the process ends: each read of up to
// bufferBytes is added to counted (when given), echoed back when echo is set,
// and announced on arrived (when given). The announcement passes through
// arrivedLock, the mutex the waiter holds around its check, so a count
// raised between the waiter's check and its sleep still wakes it. Returns
// the port.
struct Server {
    bool echo = false;
    std::atomic<long long>* counted = nullptr;
    std::condition_variable* arrived = nullptr;
    size_t bufferBytes = 1 << 20;
    std::mutex* arrivedLock = nullptr;   // required with arrived
};
int Serve(const Server& how);

// Polls until a byte sent to the echo server through port comes back (a
// listening socket accepts into its backlog before the program serves it);
// false after ms milliseconds.
bool WaitForEcho(int port, int ms);

// Runs the event loop of this process until done holds; false after ms.
bool SpinUntil(const std::function<bool()>& done, int ms);

// The median; for an even count, the mean of the two middle values.
double Median(std::vector<double> v);
// The upper of the two middle values for an even count.
double UpperMedian(std::vector<double> v);

// A field of /proc/PID/status ("VmRSS", "VmHWM") in MiB; 0 when unreadable.
double StatusMiB(qint64 pid, const char* field);

} // namespace tsybench
